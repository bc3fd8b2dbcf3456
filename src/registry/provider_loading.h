// Loading providers: one library at a time, all of them from the registry, and the broker's own
// provider record.
#pragma once

#include "registry/library_probe.h"
#include "registry/provider_list.h"

namespace kov::registry {

// Registry names, under HKEY_LOCAL_MACHINE.
constexpr const char* kBrokerKey = "Software\\KOV_Broker";
constexpr const char* kProviderListKey = "Provider List";
constexpr unsigned kKeyNameChars = 300;
constexpr unsigned kValueNameChars = 400;
constexpr unsigned kValueDataBytes = 8;

// Loads a library, checks and copies its self-description. Null when the library cannot be
// loaded, lacks an entry point, describes itself with null or with a malformed block, or no
// memory is left; the library is then unloaded again. The caller holds BrokerLock and links the
// record itself.
ProviderRecord* loadProviderLibrary(const char* path);
// The same, keeping what was found out: on null, probe.reason says why.
ProviderRecord* loadProviderLibrary(const char* path, LibraryProbe& probe);

// Builds the broker provider's record, then the whole list from the registry, and puts the broker
// provider at its head. Expects an empty list. Takes BrokerLock. All or nothing: false when the
// broker's record cannot be built (the list stays empty) or when the load is interrupted (the
// list holds only the broker provider, so that handle 0 still answers).
bool loadAllProviders();

// Unloads every provider and loads them all again, under BrokerLock. When the load fails the
// next send loads again from scratch.
bool reloadProviders();

} // namespace kov::registry
