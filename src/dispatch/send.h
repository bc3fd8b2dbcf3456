// The work behind the exports; the exports themselves only add the C boundary.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>

namespace kov::dispatch {

std::int32_t send(BrokerMessage* request);
std::int32_t sendSync(BrokerMessage* request, BrokerMessage** confirmOut);
std::int32_t deleteConfirm(BrokerMessage* confirm);

// The broker's own null delivery for `request` (it could not build the confirm): when the request
// belongs to a synchronous call, that very call ends, with status 3 unless the request already
// says why. False when the request is not a synchronous call's.
bool endSyncCallWithNull(BrokerMessage* request);

// How many synchronous calls wait for their answer now (counted over the calls' table when
// asked, so that a call itself counts nothing).
std::uint32_t waitingSyncCalls();

// Result of send for a request refused before routing.
constexpr std::int32_t kRefused = -1;

} // namespace kov::dispatch
