// The work behind the exports; the exports themselves only add the C boundary.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>

namespace kov::dispatch {

std::int32_t send(BrokerMessage* request);
std::int32_t sendSync(BrokerMessage* request, BrokerMessage** confirmOut);
std::int32_t deleteConfirm(BrokerMessage* confirm);

// Result of send for a request refused before routing.
constexpr std::int32_t kRefused = -1;

} // namespace kov::dispatch
