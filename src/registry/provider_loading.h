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

// Loads a library, checks and copies its self-description into a new record that remembers the
// provider key it was loaded for. Null when the library cannot be loaded, lacks an entry point,
// describes itself with null or with a malformed block, or no memory is left; the library is then
// unloaded again. The caller holds BrokerLock and lists the record itself.
ProviderRecord* loadProviderLibrary(const char* keyName, const char* path);
// The same, keeping what was found out: on null, probe.reason says why.
ProviderRecord* loadProviderLibrary(const char* keyName, const char* path, LibraryProbe& probe);

// Whether this process takes the provider key `keyName` from the user's registry, which then
// shadows the machine's key of that name: the user's registry is used here and lists at least one
// library under that key.
bool shadowedByUser(const char* keyName);

enum class Load {
    // The first load of a process: the broker provider is published alone at once, so that a
    // library sending to handle 0 while it is loaded reaches it.
    First,
    // A reload: the old list serves every send until the new one is published whole.
    Reload,
};

// Builds the broker provider's record, then the whole list from the registry, the broker provider
// at its head, and publishes it. Takes BrokerLock. All or nothing: KOV_STATUS_OK when the whole
// provider list was read and published (true); otherwise false, with `status`
// KOV_STATUS_REGISTRY_ERROR when the registry could not be
// read to its end (a lock held past the wait, an unreadable file or key); KOV_STATUS_NO_MEMORY
// when the broker's record or the new list cannot be built, when the load is interrupted, or when
// this thread is changing the list already (a library sending from its own loading). On a failure
// the list as it was stays, but a first load leaves the broker provider alone. Either way the
// load publishes its report (load_report.h). Libraries with a crash record are skipped; each
// other library is loaded under a crash mark of this process (crash_marks.h).
bool loadAllProviders(Load kind, std::uint32_t* status = nullptr);

// Unloads every provider and loads them all again (Load::Reload). When it fails the old list
// stays as it was; `status` says why, as loadAllProviders'.
bool reloadProviders(std::uint32_t* status = nullptr);

} // namespace kov::registry
