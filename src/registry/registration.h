// Registering provider libraries in the registry (and in the running list), and removing them.
#pragma once

#include <cstdint>

namespace kov::registry {

// ANSI names of keys and paths: 299 bytes and the terminator.
constexpr unsigned kNameBufferBytes = 300;

// Registers (operation 1) or removes (any other operation) the library `path` under the provider
// key `keyName`; both zero-terminated UTF-16. Takes BrokerLock. Returns 0, or 7, 8, 9, 10, 11,
// or 3 when no memory is left for the changed list (nothing is changed then). An empty key name,
// or a name or path whose ANSI form does not fit 299 bytes, is refused before anything is
// touched: 8 for the key name; 10 (register) or 7 (remove) for the path. A request made while
// this thread is changing the list already (from a library being loaded) is refused with 8.
// Removal takes the record loaded for that key, never one another key loaded from the same
// library.
std::uint32_t updateRegistration(const char16_t* keyName, const char16_t* path,
                                 std::uint32_t operation);

} // namespace kov::registry
