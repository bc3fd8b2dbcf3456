#include "message/reply_records.h"

#include "message/bytes.h"

#include <cstddef>
#include <cstring>

namespace kov::message {
namespace {

constexpr std::uint32_t kStringFields[] = {kDescriptorCopyrightField, kDescriptorMakerField,
                                           kDescriptorExtraField, kDescriptorProductField};

std::uint32_t wideLength(const char16_t* text) {
    std::uint32_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

struct HandleWriter {
    std::uint8_t* descriptor;
    ProviderHandle handle;
};

// Entry offsets arrive payload-relative; the descriptor starts 12 bytes later.
void writeHandle(void* context, std::uint32_t entryOffset) {
    const auto* writer = static_cast<const HandleWriter*>(context);
    writeU32(writer->descriptor,
             entryOffset - kInfoDescriptorStart + offsetof(FunctionSetEntry, provider),
             writer->handle);
}

} // namespace

void putStringItem(std::uint8_t* record, std::uint32_t& runningOffset, std::uint32_t offsetField,
                   const char16_t* text) {
    const std::uint32_t chars = wideLength(text);
    if (chars == 0) {
        writeU32(record, offsetField, 0);
        return;
    }
    const std::uint32_t count = chars + 1;
    writeU32(record, runningOffset, count);
    std::memcpy(record + runningOffset + 4, text, 2 * count);
    writeU32(record, offsetField, runningOffset);
    runningOffset += 4 + 2 * count;
}

InfoFault checkInfoBlock(const BrokerMessage* block, InfoBlock* out) {
    // The block's own header is all that says how far it reaches: totalLength first (it alone is
    // read before it is known to cover the header), then headerLength within it, then the
    // payload's length within the rest. Nothing past what they promise is read.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(block);
    const std::uint32_t total = readU32(bytes, offsetof(BrokerMessage, totalLength));
    if (total < KOV_HEADER_SIZE) return InfoFault{InfoRule::kBlockTooShort, "totalLength", 0};
    const std::uint32_t header = readU32(bytes, offsetof(BrokerMessage, headerLength));
    if (header < KOV_HEADER_SIZE)
        return InfoFault{InfoRule::kHeaderTooShort, "headerLength", offsetof(BrokerMessage, headerLength)};
    if (header > total)
        return InfoFault{InfoRule::kHeaderPastTotal, "headerLength", offsetof(BrokerMessage, headerLength)};
    const std::uint32_t held = total - header;
    const auto* payload = bytes + header;
    if (held < 4 || readU32(payload, 0) > held)
        return InfoFault{InfoRule::kPayloadPastTotal, "length", 0};
    const std::uint32_t length = readU32(payload, 0);
    const InfoFault fault = checkDescription(payload, length, kInfoDescriptorStart);
    if (!fault.ok()) return fault;
    *out = InfoBlock{payload, length, readU32(payload, kInfoDescriptorStart + kDescriptorSetCountField)};
    return fault;
}

bool copyDescriptor(const InfoBlock& info, std::uint8_t* descriptor, ProviderHandle handle) {
    // Payload bytes 16 .. L-1 become descriptor bytes 4 ..; the descriptor's own size stays 0.
    std::memcpy(descriptor + 4, info.payload + kInfoDescriptorStart + 4,
                info.payloadLength - kInfoDescriptorStart - 4);
    for (std::uint32_t field : kStringFields) {
        const std::uint32_t offset = readU32(descriptor, field);
        if (offset != 0) writeU32(descriptor, field, offset - kInfoDescriptorStart);
    }
    HandleWriter writer{descriptor, handle};
    return checkDescription(info.payload, info.payloadLength, kInfoDescriptorStart, writeHandle,
                            &writer)
        .ok();
}

} // namespace kov::message
