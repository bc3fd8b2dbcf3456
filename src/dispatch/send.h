// The work behind the exports; the exports themselves only add the C boundary.
#pragma once

#include "platform/platform.h"

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

// Attach: how far each call moves an entry's generation (KOV_BROKER_TEST_SYNC_GENERATIONS, a
// test hook, makes an entry's generations few, so that tokens come round again within a test).
void startSyncCalls();

// Ends every synchronous call that waits on `event`, the event of a thread that has ended
// without leaving its calls: a confirm that came for one goes back to its provider, and each
// call's generation is kept out of use.
void endCallsWaitingOn(platform::EventHandle event);

// How many synchronous calls wait for their answer now (counted over the calls' table when
// asked, so that a call itself counts nothing).
std::uint32_t waitingSyncCalls();

// Result of send for a request refused before routing.
constexpr std::int32_t kRefused = -1;

} // namespace kov::dispatch
