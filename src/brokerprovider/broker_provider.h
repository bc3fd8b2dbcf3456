// The broker's own provider: answers requests to handle 0 on the calling thread.
#pragma once

#include "registry/provider_list.h"

#include <kov/kov_broker.h>

#include <cstdint>

namespace kov::brokerprovider {

constexpr std::uint32_t kBrokerProviderSets = 2; // broker set 0 and common set 0xFFFF

// The broker provider's record, its descriptor built from the module's resource strings. Null
// when no memory is left.
registry::ProviderRecord* newBrokerProviderRecord();

std::int32_t KOV_CALL receiveEntry(BrokerMessage* request);
std::int32_t KOV_CALL deleteEntry(BrokerMessage* confirm);

// Function handlers, called by receiveEntry once the versions are checked.
void handleBrokerFunction(BrokerMessage* request);
void handleCommonFunction(BrokerMessage* request);
void handleRegisterProvider(BrokerMessage* request);
// The report of the last load of the provider list (broker function 5).
void handleLoadReport(BrokerMessage* request);
// Reload of both sets: every provider unloaded and loaded again, then a header-only status 0.
void handleReload(BrokerMessage* request);

// Delivers a reply built with newBrokerConfirm with status 0, or, when it is null, tells the
// callback that no memory was left (status 3 in the request, null confirm).
void deliverReply(BrokerMessage* request, BrokerMessage* confirm);

// Builds a reply of payloadSize bytes: fill(payload) writes it; then it is delivered with status
// 0. Without memory the request's status becomes 3 and the callback gets null.
template <typename Fill>
void replyWithPayload(BrokerMessage* request, std::uint32_t payloadSize, Fill fill);

} // namespace kov::brokerprovider

#include "message/broker_confirms.h"

template <typename Fill>
void kov::brokerprovider::replyWithPayload(BrokerMessage* request, std::uint32_t payloadSize,
                                           Fill fill) {
    BrokerMessage* confirm = message::newBrokerConfirm(request, payloadSize);
    if (confirm != nullptr) fill(reinterpret_cast<std::uint8_t*>(confirm) + request->headerLength);
    deliverReply(request, confirm);
}
