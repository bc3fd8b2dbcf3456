// Handing confirms to callers' callbacks: the two routines every broker answer goes through.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>

namespace kov::dispatch {

// Sets the confirm's status to `code` (unless null), calls the request's callback with it and,
// when the callback lets a broker-built confirm go (returns 0), releases it. Returns the
// callback's value, or 0 after a release.
std::int32_t deliverConfirm(BrokerMessage* request, BrokerMessage* confirm, std::uint32_t code);

// Answers the request with a header-only confirm carrying `code`; the request's status gets the
// code too. Without memory for the confirm the callback receives null.
std::int32_t sendErrorConfirm(BrokerMessage* request, std::uint32_t code);

// The status for a request whose provider was not found. Handle 0 finds nothing only when the
// broker provider's record could not be built: a lack of memory, not an unknown provider.
std::uint32_t notFoundStatus(ProviderHandle handle);

// Refuses a request that cannot be handled safely: null, no callback, a header shorter than
// the 44 bytes every confirm needs, or a header longer than the request's totalLength. Writes
// status 25 into it where its header holds the field.
bool requestUnusable(BrokerMessage* request, bool needsCallback);

// A send that could not enter its guard: the module is detached, or the thread could get no slot
// (no memory). Only the request is touched: status 3 when the module is there (and the header
// holds the field). Returns kRefused.
std::int32_t refuseUnguarded(BrokerMessage* request);

} // namespace kov::dispatch
