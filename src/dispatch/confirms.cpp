#include "dispatch/confirms.h"

#include "dispatch/send.h"
#include "message/broker_confirms.h"
#include "runtime/process.h"

#include <algorithm>
#include <cstddef>

namespace kov::dispatch {
namespace {
// A request whose header reaches this far holds a status field that may be written.
constexpr std::uint32_t kStatusEnd = offsetof(BrokerMessage, status) + sizeof(std::uint32_t);
} // namespace

std::int32_t deliverConfirm(BrokerMessage* request, BrokerMessage* confirm, std::uint32_t code) {
    // A null carries nothing that names its call; the broker knows the request, so a
    // synchronous call gets its null directly.
    if (confirm == nullptr && endSyncCallWithNull(request)) return 0;
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

std::uint32_t notFoundStatus(ProviderHandle handle) {
    return handle != 0 ? KOV_STATUS_UNKNOWN_PROVIDER : KOV_STATUS_NO_MEMORY;
}

std::int32_t refuseUnguarded(BrokerMessage* request) {
    if (runtime::attached() && request != nullptr &&
        std::min(request->headerLength, request->totalLength) >= kStatusEnd)
        request->status = KOV_STATUS_NO_MEMORY;
    return kRefused;
}

bool requestUnusable(BrokerMessage* request, bool needsCallback) {
    if (request == nullptr) return true;
    // A header longer than the whole request is as unusable as a short one: confirms copy the
    // header, so it must lie inside what the caller handed over.
    const bool badHeader = request->headerLength < KOV_HEADER_SIZE ||
                           request->headerLength > request->totalLength;
    if (!badHeader && (!needsCallback || request->callback != nullptr)) return false;
    if (std::min(request->headerLength, request->totalLength) >= kStatusEnd)
        request->status = KOV_STATUS_BAD_VERSION;
    return true;
}

} // namespace kov::dispatch
