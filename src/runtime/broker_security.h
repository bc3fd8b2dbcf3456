// BrokerSecurity: the security attributes given to BrokerLock and to the wait events of
// synchronous sends. Two BlockAllocator blocks: a 20-byte security descriptor with a present,
// null DACL, and a 12-byte SECURITY_ATTRIBUTES record pointing at it.
#pragma once

#include <cstdint>

namespace kov::runtime {

struct SecurityAttributes {
    std::uint32_t length; // 12
    void* descriptor;
    std::int32_t inheritHandle; // TRUE
};
static_assert(sizeof(SecurityAttributes) == 12, "SECURITY_ATTRIBUTES layout");

// False when a step fails; the blocks taken so far are released and brokerSecurity() is null,
// so the lock and events get default security.
bool buildBrokerSecurity();
void releaseBrokerSecurity();
const SecurityAttributes* brokerSecurity();

} // namespace kov::runtime
