// ProviderList: every loaded provider, the broker provider first. Records are counted: the list
// holds one reference and every user found through findProvider holds one more, so a record that
// is unlinked by a reload or removal is unloaded and freed only when its last user lets go.
#pragma once

#include "platform/platform.h"

#include <kov/kov_broker.h>

#include <atomic>
#include <cstdint>

namespace kov::registry {

struct ProviderRecord {
    ProviderRecord* next;
    platform::ModuleHandle module; // null for the broker provider
    KovDeleteReceiveFn deleteEntry;
    KovReceiveFn receiveEntry;
    KovGetSubSystemInfoFn infoEntry; // null for the broker provider
    std::uint32_t setCount;
    std::uint32_t descriptorSize;
    std::uint8_t* descriptor; // follows the record in the same block

    ProviderHandle handle; // unique for the life of the process, never 0
    std::atomic<std::uint32_t> references;
};

// A counted reference to a record; lets go when it goes out of scope.
class ProviderRef {
public:
    ProviderRef() = default;
    explicit ProviderRef(ProviderRecord* record) : record_(record) {}
    ProviderRef(ProviderRef&& other) noexcept : record_(other.record_) { other.record_ = nullptr; }
    ProviderRef& operator=(ProviderRef&& other) noexcept;
    ProviderRef(const ProviderRef&) = delete;
    ProviderRef& operator=(const ProviderRef&) = delete;
    ~ProviderRef();

    ProviderRecord* operator->() const { return record_; }
    ProviderRecord* get() const { return record_; }
    explicit operator bool() const { return record_ != nullptr; }

private:
    ProviderRecord* record_ = nullptr;
};

// One block holding a record and a zeroed descriptor area of descriptorSize bytes, with a fresh
// handle and the list's reference. Null when no memory is left.
ProviderRecord* newProviderRecord(std::uint32_t descriptorSize);
// Frees a record that was never linked (unloads nothing).
void discardProviderRecord(ProviderRecord* record);
// Unloads the library of a record that was never linked, then frees the record.
void unloadUnlinkedRecord(ProviderRecord* record);

// Takes BrokerLock itself. Handle 0 finds the head of the list; a handle of a provider that has
// been unlinked finds nothing.
ProviderRef findProvider(ProviderHandle handle);

// The operations below expect the caller to hold BrokerLock. Linking fails (false) only when the
// handle index cannot grow; the record then stays unlinked and the caller still owns it.
bool pushFront(ProviderRecord* record);
bool append(ProviderRecord* record);
// Unlinks the first record of `module` (a null module matches nothing).
void removeByModule(platform::ModuleHandle module);

enum class Unload { FreeLibraries, KeepLibraries };
// Unlinks every record. KeepLibraries is for a terminating process: libraries are not unloaded.
void unloadAll(Unload mode = Unload::FreeLibraries);

// The head, for walks made under BrokerLock.
ProviderRecord* listHead();

} // namespace kov::registry
