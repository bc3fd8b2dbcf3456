// The common function set (0xFFFF): reload, the language tag, and a check against it.
#include "brokerprovider/broker_provider.h"

#include "dispatch/confirms.h"
#include "message/bytes.h"
#include "message/resource_strings.h"

#include <resources/strings.h>

#include <cstring>

namespace kov::brokerprovider {
namespace {

constexpr std::uint32_t kLanguageFixedSize = 32; // 28 bytes of fields + 4 trailing zeros
constexpr std::uint32_t kCheckedTagOffset = 20;

void getLanguage(BrokerMessage* request) {
    const message::ResourceString tag(KOV_IDS_LANGUAGE);
    const std::uint32_t size = tag.bytes + kLanguageFixedSize;
    replyWithPayload(request, size, [&](std::uint8_t* out) {
        message::writePayloadHead(out, size);
        message::writeU32(out, 20, 1);
        // An absent tag still gets an item: the bare terminator, count 1.
        message::writeU32(out, 24, tag.bytes == 0 ? 1 : tag.bytes / 2);
        std::memcpy(out + 28, tag.text, tag.bytes);
    });
}

void checkLanguage(BrokerMessage* request) {
    const message::ResourceString tag(KOV_IDS_LANGUAGE);
    std::uint32_t result = KOV_STATUS_OK;
    if (tag.bytes != 0) {
        // Only bytes inside the message are compared; a message too short to hold the tag
        // cannot match it.
        const std::uint64_t needed =
            std::uint64_t{request->headerLength} + kCheckedTagOffset + tag.bytes;
        // The pointer is formed only once it is known to lie inside the message.
        if (request->totalLength < needed) {
            result = KOV_STATUS_LANGUAGE_MISMATCH;
        } else {
            const auto* text = reinterpret_cast<const std::uint8_t*>(request) +
                               request->headerLength + kCheckedTagOffset;
            if (std::memcmp(text, tag.text, tag.bytes) != 0) result = KOV_STATUS_LANGUAGE_MISMATCH;
        }
    }
    dispatch::sendErrorConfirm(request, result);
}

} // namespace

void handleCommonFunction(BrokerMessage* request) {
    if (request->setMajor != 1 || request->setMinor != 0) {
        dispatch::sendErrorConfirm(request, KOV_STATUS_BAD_VERSION);
        return;
    }
    switch (request->functionCode) {
    case KOV_COMMON_FN_RELOAD: return handleReload(request);
    case KOV_COMMON_FN_GET_LANGUAGE: return getLanguage(request);
    case KOV_COMMON_FN_CHECK_LANGUAGE: return checkLanguage(request);
    default: dispatch::sendErrorConfirm(request, KOV_STATUS_UNKNOWN_FUNCTION);
    }
}

} // namespace kov::brokerprovider
