// KOV sample provider: function set 0x5A00, version 1.0.
//   code 0  echo   the confirm's payload is the request's payload
//   code 1  clock  the confirm's payload is the current UTC time as 24 ASCII characters
// Confirms are built here, while the request is at hand (an asynchronous caller may drop its
// request as soon as kov_Send returns), and delivered later by the worker thread.
#include "sample_provider.h"

#include <cstring>
#include <string_view>

namespace {

constexpr int32_t kTaken = 0;
constexpr int32_t kNotTaken = 1;

constexpr std::u16string_view kCopyright = u"Copyright (c) 2026 KOV Broker team.";
constexpr std::u16string_view kMaker = u"KOV Broker examples";
constexpr std::u16string_view kProduct = u"KOV sample provider";

// Writes a StringItem at payload + offset, stores offset in the u32 at payload + field and moves
// offset past the item. Items are unaligned, hence memcpy.
void putString(uint8_t *payload, uint32_t &offset, uint32_t field, std::u16string_view text)
{
    const uint32_t count = static_cast<uint32_t>(text.size()) + 1; // with the terminator
    std::memcpy(payload + offset, &count, 4);
    std::memcpy(payload + offset + 4, text.data(), 2 * text.size()); // terminator stays zero
    std::memcpy(payload + field, &offset, 4);
    offset += 4 + 2 * count;
}

uint32_t itemSize(std::u16string_view text) { return 4 + 2 * (static_cast<uint32_t>(text.size()) + 1); }

// The status this provider answers a well-formed request with.
uint32_t checkRequest(const BrokerMessage &request)
{
    if (request.formatMajor != 1 || request.formatMinor != 0 || request.setMajor != 1 ||
        request.setMinor != 0)
        return KOV_STATUS_BAD_VERSION;
    if (request.functionSet != sample::kFunctionSet)
        return KOV_STATUS_UNKNOWN_SET;
    if (request.functionCode != sample::kEcho && request.functionCode != sample::kClock)
        return KOV_STATUS_UNKNOWN_FUNCTION;
    return KOV_STATUS_OK;
}

} // namespace

extern "C" KOV_PROVIDER_EXPORT BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    const uint32_t stringsStart = offsetof(SubsystemInfoPayload, descriptor.sets) +
                                  sizeof(FunctionSetEntry); // one set
    const uint32_t payloadLength =
        stringsStart + itemSize(kCopyright) + itemSize(kMaker) + itemSize(kProduct);
    BrokerMessage *block = sample::newBlock(KOV_HEADER_SIZE + payloadLength);
    if (block == nullptr)
        return nullptr; // the broker then skips this library
    block->totalLength = KOV_HEADER_SIZE + payloadLength;
    block->formatMajor = 1;
    block->headerLength = KOV_HEADER_SIZE;

    auto *bytes = reinterpret_cast<uint8_t *>(block) + KOV_HEADER_SIZE;
    auto *info = reinterpret_cast<SubsystemInfoPayload *>(bytes);
    info->length = payloadLength;
    info->versionMajor = 1;
    info->descriptor.versionMajor = 1;
    char now[23];
    sample::utcDateTime(now);
    std::memcpy(info->descriptor.timestamp, now, sizeof now);
    std::memcpy(info->descriptor.timestamp + sizeof now, "+0000", 5);
    info->descriptor.setCount = 1;
    FunctionSetEntry &entry = info->descriptor.sets[0];
    entry.nextDistance = 0; // the only entry
    entry.functionSet = sample::kFunctionSet;
    entry.setMajor = 1;
    entry.setMinor = 0;

    // String offsets in the information block count from the payload's start.
    uint32_t offset = stringsStart;
    putString(bytes, offset, offsetof(SubsystemInfoPayload, descriptor.copyrightOffset), kCopyright);
    putString(bytes, offset, offsetof(SubsystemInfoPayload, descriptor.makerOffset), kMaker);
    putString(bytes, offset, offsetof(SubsystemInfoPayload, descriptor.productOffset), kProduct);
    return block;
}

extern "C" KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    // Without a callback or a whole header there is nobody to answer and nothing to copy.
    if (request == nullptr || request->callback == nullptr ||
        request->headerLength < KOV_HEADER_SIZE || request->totalLength < request->headerLength)
        return kNotTaken;

    const uint32_t status = checkRequest(*request);
    const uint32_t requestPayload = request->totalLength - request->headerLength;
    uint32_t payloadLength = 0;
    if (status == KOV_STATUS_OK)
        payloadLength = request->functionCode == sample::kEcho ? requestPayload
                                                               : sample::kClockTextSize;

    BrokerMessage *confirm = sample::newBlock(request->headerLength + payloadLength);
    if (confirm == nullptr) {
        // The status must be in the request before null is delivered: a synchronous caller
        // learns from it why no confirm came.
        request->status = KOV_STATUS_NO_MEMORY;
        request->callback(nullptr);
        return kTaken;
    }
    std::memcpy(confirm, request, request->headerLength);
    confirm->totalLength = request->headerLength + payloadLength;
    confirm->status = status;
    if (status == KOV_STATUS_OK && request->functionCode == sample::kEcho)
        std::memcpy(reinterpret_cast<uint8_t *>(confirm) + request->headerLength,
                    reinterpret_cast<const uint8_t *>(request) + request->headerLength,
                    requestPayload);

    const bool clock = status == KOV_STATUS_OK && request->functionCode == sample::kClock;
    if (!sample::queueAnswer({confirm, request->callback, clock})) {
        sample::releaseBlock(confirm);
        request->status = KOV_STATUS_NO_MEMORY;
        return kNotTaken; // no confirm will come
    }
    return kTaken;
}

// Releases confirms and the information block; refuses (1) any block this library did not build.
extern "C" KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return sample::releaseBlock(block);
}
