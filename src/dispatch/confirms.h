// Handing confirms to callers' callbacks: the two routines every broker answer goes through.
#pragma once

#include "dispatch/send.h"
#include "message/broker_confirms.h"

#include <kov/kov_broker.h>

#include <cstdint>

namespace kov::dispatch {

// Sets the confirm's status to `code` (unless null), calls the request's callback with it and,
// when the callback lets a broker-built confirm go (returns 0), releases it. Returns the
// callback's value, or 0 after a release. Inline: every broker answer takes this way.
inline std::int32_t deliverConfirm(BrokerMessage* request, BrokerMessage* confirm,
                                   std::uint32_t code) {
    // A null carries nothing that names its call; the broker knows the request, so a
    // synchronous call gets its null directly.
    if (confirm == nullptr && endSyncCallWithNull(request)) return 0;
    if (confirm != nullptr) confirm->status = code;
    const std::int32_t kept = request->callback(confirm);
    if (kept != 0 || confirm == nullptr) return kept;
    message::releaseBrokerConfirm(confirm);
    return 0;
}

// Answers the request with a header-only confirm carrying `code`; the request's status gets the
// code too. Without memory for the confirm the callback receives null.
inline std::int32_t sendErrorConfirm(BrokerMessage* request, std::uint32_t code) {
    BrokerMessage* const confirm = message::newBrokerConfirm(request, 0);
    request->status = code;
    return deliverConfirm(request, confirm, code);
}

// The status for a request whose provider was not found. Handle 0 finds nothing only when the
// broker provider's record could not be built: a lack of memory, not an unknown provider.
inline std::uint32_t notFoundStatus(ProviderHandle handle) {
    return handle != 0 ? KOV_STATUS_UNKNOWN_PROVIDER : KOV_STATUS_NO_MEMORY;
}

// Writes status 25 into an unusable request where its header holds the field; returns true.
bool refuseUnusable(BrokerMessage* request);

// Refuses a request that cannot be handled safely: null, no callback, a header shorter than
// the 44 bytes every confirm needs, or a header longer than the request's totalLength. A header
// longer than the whole request is as unusable as a short one: confirms copy the header, so it
// must lie inside what the caller handed over.
inline bool requestUnusable(BrokerMessage* request, bool needsCallback) {
    if (KOV_LIKELY(request != nullptr && request->headerLength >= KOV_HEADER_SIZE &&
                   request->headerLength <= request->totalLength &&
                   (!needsCallback || request->callback != nullptr)))
        return false;
    return refuseUnusable(request);
}

// A send that could not enter its guard: the module is detached, or the thread could get no slot
// (no memory). Only the request is touched: status 3 when the module is there (and the header
// holds the field). Returns kRefused.
std::int32_t refuseUnguarded(BrokerMessage* request);

} // namespace kov::dispatch
