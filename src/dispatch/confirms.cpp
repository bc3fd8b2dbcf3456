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

std::int32_t refuseUnguarded(BrokerMessage* request) {
    if (runtime::attached() && request != nullptr &&
        std::min(request->headerLength, request->totalLength) >= kStatusEnd)
        request->status = KOV_STATUS_NO_MEMORY;
    return kRefused;
}

bool refuseUnusable(BrokerMessage* request) {
    if (request == nullptr) return true;
    if (std::min(request->headerLength, request->totalLength) >= kStatusEnd)
        request->status = KOV_STATUS_BAD_VERSION;
    return true;
}

} // namespace kov::dispatch
