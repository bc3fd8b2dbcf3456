#include "registry/registration.h"

#include "registry/crash_marks.h"
#include "registry/provider_loading.h"
#include "registry/registry_key.h"

#include <kov/kov_broker.h>

#include <cstring>
#include <new>

namespace kov::registry {
namespace {

struct NameBuffer {
    char text[kNameBufferBytes];
};

// The registry and loader calls below may run out of memory inside the platform layer; each
// step then fails like any other failure of that step, so the list and the registry are left as
// the step found them.
template <class Step, class Result>
Result contained(Step step, Result onNoMemory) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        return onNoMemory;
    }
}

bool openKey(RegistryKey& key, platform::RegKey parent, const char* name) {
    return contained([&] { return key.open(parent, name); }, false);
}

// False for an empty text and for one whose ANSI form needs more than 299 bytes.
bool toAnsi(const char16_t* wide, NameBuffer* out) {
    std::memset(out->text, 0, sizeof out->text);
    int units = 0;
    while (wide[units] != 0) ++units;
    if (units == 0) return false;
    return platform::wideToAnsi(wide, units, out->text, kNameBufferBytes - 1) > 0;
}

// Registry key names compare without regard to case, as on Windows.
bool sameKeyName(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? char(*a + 32) : *a;
        const char y = (*b >= 'A' && *b <= 'Z') ? char(*b + 32) : *b;
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

std::uint32_t registerLibrary(ListChange& change, const RegistryKey& providerKey,
                              const char* keyName, const char* path) {
    // A key that existed already belongs to an earlier registration.
    if (providerKey.existedBefore()) return KOV_STATUS_ALREADY_REGISTERED;
    // Registering a library again enables it: its crash record goes, and it is loaded under a
    // loading mark like any other load.
    LoadingMarks marks;
    marks.enable(keyName, path);
    marks.begin(keyName, path);
    ProviderRecord* record = contained([&] { return loadProviderLibrary(keyName, path); },
                                       static_cast<ProviderRecord*>(nullptr));
    marks.end();
    marks.finish();
    if (record == nullptr) return KOV_STATUS_PROVIDER_LOAD_FAILED;
    // The user's key of that name shadows the machine's in this process, as at every later load:
    // the entry is written, the library not listed.
    if (contained([&] { return shadowedByUser(keyName); }, false)) {
        unloadUnlistedRecord(record);
        const long written =
            contained([&] { return platform::setDwordValue(providerKey.get(), path, 0); }, -1L);
        return written == platform::kRegOk ? KOV_STATUS_OK : KOV_STATUS_REGISTER_WRITE_FAILED;
    }
    // Room for the longer list before the registry is written: nothing can fail after it.
    // Last, so the broker provider stays first and handle 0 keeps addressing it.
    if (!change.prepareAppended(record)) {
        unloadUnlistedRecord(record);
        return KOV_STATUS_NO_MEMORY;
    }
    const long written =
        contained([&] { return platform::setDwordValue(providerKey.get(), path, 0); }, -1L);
    if (written != platform::kRegOk) {
        unloadUnlistedRecord(record);
        return KOV_STATUS_REGISTER_WRITE_FAILED;
    }
    change.publish();
    return KOV_STATUS_OK;
}

// The record loaded for this provider key from the library `path` names: the first in list order
// with that key and the library's module. A record of another key that loaded the same library
// is never taken, nor one of the user's registry (this writes the machine's). The module is found without loading the library or adding a reference.
const ProviderRecord* recordOf(const ListView& listed, const char* keyName, const char* path) {
    const platform::ModuleHandle module = contained(
        [&] { return platform::findLoadedModule(path); }, static_cast<platform::ModuleHandle>(nullptr));
    if (module == nullptr) return nullptr;
    for (const ProviderRecord* r : listed)
        if (r->module == module && r->layer == KOV_LAYER_MACHINE && sameKeyName(r->keyName, keyName))
            return r;
    return nullptr;
}

std::uint32_t removeLibrary(ListChange& change, const RegistryKey& providerKey,
                            const char* keyName, const char* path) {
    const ProviderRecord* const record = recordOf(change.listed(), keyName, path);
    // Room for the shorter list before the registry is touched.
    if (record != nullptr && !change.prepareWithout(record)) return KOV_STATUS_NO_MEMORY;
    if (contained([&] { return platform::deleteValue(providerKey.get(), path); }, -1L) !=
        platform::kRegOk)
        return KOV_STATUS_DEREGISTER_FAILED;
    if (record != nullptr) change.publish();
    // What the registry no longer holds keeps no crash record that a later registration of the
    // same key and library would meet.
    LoadingMarks().enable(keyName, path);
    return KOV_STATUS_OK;
}

} // namespace

std::uint32_t updateRegistration(const char16_t* keyName, const char16_t* path,
                                 std::uint32_t operation) {
    const bool registering = operation == KOV_REGISTER;
    NameBuffer key;
    NameBuffer library;
    if (!toAnsi(keyName, &key)) return KOV_STATUS_REGISTRY_ERROR;
    if (!toAnsi(path, &library))
        return registering ? KOV_STATUS_PROVIDER_LOAD_FAILED : KOV_STATUS_DEREGISTER_FAILED;

    ListChange change;
    // Sent while this very thread changes the list (from a library's initialisation, say).
    if (change.refused()) return KOV_STATUS_REGISTRY_ERROR;
    RegistryKey broker;
    RegistryKey providerList;
    RegistryKey providerKey;
    // Created keys get their parent's default security: a key anyone could write would let any
    // local user name a library that every broker process then loads.
    if (!openKey(broker, platform::localMachineKey(), kBrokerKey) ||
        !openKey(providerList, broker.get(), kProviderListKey) ||
        !openKey(providerKey, providerList.get(), key.text))
        return KOV_STATUS_REGISTRY_ERROR;

    const std::uint32_t result = registering
                                     ? registerLibrary(change, providerKey, key.text, library.text)
                                     : removeLibrary(change, providerKey, key.text, library.text);

    contained([&] { platform::flushKey(providerKey.get()); return 0; }, 0);
    std::uint32_t values = 0;
    const bool counted =
        contained([&] { return platform::queryValueCount(providerKey.get(), &values); }, -1L) ==
        platform::kRegOk;
    providerKey.close();
    // A provider key stays only while it names at least one library.
    if (counted && values == 0)
        contained([&] { return platform::deleteKey(providerList.get(), key.text); }, -1L);
    return result;
}

} // namespace kov::registry
