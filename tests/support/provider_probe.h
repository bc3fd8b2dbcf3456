// Looking at the provider list and at the test provider libraries from inside a unit test.
#pragma once

#include "registry/provider_list.h"

#include "providers/provider_counters.h"

#include <string>
#include <vector>

namespace kov::test {

// The records of the list as published, head first. The pointers stay valid until the list
// changes.
std::vector<const registry::ProviderRecord*> listedProviders();

// What a send to `handle` would reach now (looked up under a guard of its own); null when
// nothing. Valid until the list changes.
const registry::ProviderRecord* providerFor(ProviderHandle handle);

// The first function set a record's descriptor names (0 for the broker provider).
std::uint32_t firstFunctionSet(const registry::ProviderRecord* record);

// The first function set of every listed record, head first: a compact picture of the list.
std::vector<std::uint32_t> listedFunctionSets();

// Lists a record without a library, at the end of the list, whose receive entry is `receive`: a
// provider written by the test itself. It goes with the list at detach. Null when no memory is
// left.
registry::ProviderRecord* linkFakeProvider(KovReceiveFn receive);

// Whether the library is in the process now, loaded by anyone.
bool libraryLoaded(const std::string& path);

// The test's own reference to a provider library, to read what the library has seen. The library
// stays loaded while a probe holds it, so checks that it was unloaded come after the probe goes.
class LibraryProbe {
public:
    explicit LibraryProbe(const std::string& path);
    ~LibraryProbe();
    LibraryProbe(const LibraryProbe&) = delete;
    LibraryProbe& operator=(const LibraryProbe&) = delete;

    bool valid() const { return counters_ != nullptr; }
    platform::ModuleHandle module() const { return module_; }
    KovProviderCounters counters() const;

private:
    platform::ModuleHandle module_;
    KovProviderCounters* counters_ = nullptr;
};

} // namespace kov::test
