// Hands the broker's three exports to the test providers that call back into the broker (see
// tests/providers/broker_access.h), through the environment, before those libraries are loaded.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>

namespace kov::test {

using SendFn = std::int32_t(KOV_CALL*)(BrokerMessage*);
using SendSyncFn = std::int32_t(KOV_CALL*)(BrokerMessage*, BrokerMessage**);
using DeleteConfirmFn = std::int32_t(KOV_CALL*)(BrokerMessage*);

void offerBrokerExports(SendFn send, SendSyncFn sendSync, DeleteConfirmFn deleteConfirm);

} // namespace kov::test
