// Confirms the broker builds itself (error confirms, the broker provider's replies). They are
// BlockAllocator blocks and are tracked, so kov_DeleteConfirm can recognise and release them
// whatever their provider field names, without ever reading memory the broker did not hand out.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>

namespace kov::message {

// A block of headerLength + payloadSize bytes holding a copy of the request's header, with
// totalLength set to the whole size and the payload zeroed. Null when no memory is left.
BrokerMessage* newBrokerConfirm(const BrokerMessage* request, std::uint32_t payloadSize);

// True when `confirm` is a broker-built confirm still alive; it is then released.
bool releaseBrokerConfirm(BrokerMessage* confirm);

// Detach: the blocks stay with whoever holds them, the module just stops knowing them.
void forgetTrackedConfirms();

} // namespace kov::message
