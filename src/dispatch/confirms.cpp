#include "dispatch/confirms.h"

#include "message/broker_confirms.h"

#include <algorithm>
#include <cstddef>

namespace kov::dispatch {

std::int32_t deliverConfirm(BrokerMessage* request, BrokerMessage* confirm, std::uint32_t code) {
    if (confirm != nullptr) confirm->status = code;
    const std::int32_t kept = request->callback(confirm);
    if (kept != 0 || confirm == nullptr) return kept;
    message::releaseBrokerConfirm(confirm);
    return 0;
}

std::int32_t sendErrorConfirm(BrokerMessage* request, std::uint32_t code) {
    BrokerMessage* confirm = message::newBrokerConfirm(request, 0);
    request->status = code;
    return deliverConfirm(request, confirm, code);
}

std::uint32_t notFoundStatus(bool lookedUp, ProviderHandle handle) {
    return lookedUp && handle != 0 ? KOV_STATUS_UNKNOWN_PROVIDER : KOV_STATUS_NO_MEMORY;
}

bool requestUnusable(BrokerMessage* request, bool needsCallback) {
    if (request == nullptr) return true;
    // A header longer than the whole request is as unusable as a short one: confirms copy the
    // header, so it must lie inside what the caller handed over.
    const bool badHeader = request->headerLength < KOV_HEADER_SIZE ||
                           request->headerLength > request->totalLength;
    if (!badHeader && (!needsCallback || request->callback != nullptr)) return false;
    const std::uint32_t readable = std::min(request->headerLength, request->totalLength);
    if (readable >= offsetof(BrokerMessage, status) + sizeof request->status)
        request->status = KOV_STATUS_BAD_VERSION;
    return true;
}

} // namespace kov::dispatch
