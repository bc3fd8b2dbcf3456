// ProviderList: every loaded provider, the broker provider first. Changes are made under
// BrokerLock; sends read a published, read-only snapshot of the list and its handle index without
// any lock. A user found through findProvider pins the record in its thread's slot, so a record
// unlinked by a reload or removal is unloaded and freed only once no thread pins it.
#pragma once

#include "platform/platform.h"
#include "runtime/thread_slots.h"

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
    ProviderRecord* nextRetired; // while unlinked and waiting for its last user
    std::atomic<bool> retired;   // set once, when unlinked
};

// A pinned record (or, when the lookup found nothing, a pin that only marks the thread as inside
// a send); the pin goes when it goes out of scope. Pins belong to the thread that took them.
class ProviderRef {
public:
    ProviderRef() = default;
    ProviderRef(ProviderRecord* record, runtime::ThreadSlot* slot, unsigned pinIndex)
        : record_(record), slot_(slot), pinIndex_(pinIndex) {}
    ProviderRef(ProviderRef&& other) noexcept
        : record_(other.record_), slot_(other.slot_), pinIndex_(other.pinIndex_) {
        other.record_ = nullptr;
        other.slot_ = nullptr;
    }
    ProviderRef& operator=(ProviderRef&& other) noexcept;
    ProviderRef(const ProviderRef&) = delete;
    ProviderRef& operator=(const ProviderRef&) = delete;
    ~ProviderRef();

    ProviderRecord* operator->() const { return record_; }
    ProviderRecord* get() const { return record_; }
    explicit operator bool() const { return record_ != nullptr; }
    // False only when the thread could get no slot (no memory): nothing was looked up.
    bool pinned() const { return slot_ != nullptr; }

private:
    void letGo();

    ProviderRecord* record_ = nullptr;
    runtime::ThreadSlot* slot_ = nullptr;
    unsigned pinIndex_ = 0;
};

// One block holding a record and a zeroed descriptor area of descriptorSize bytes, with a fresh
// handle and the list's reference. Null when no memory is left.
ProviderRecord* newProviderRecord(std::uint32_t descriptorSize);
// Frees a record that was never linked (unloads nothing).
void discardProviderRecord(ProviderRecord* record);
// Unloads the library of a record that was never linked, then frees the record.
void unloadUnlinkedRecord(ProviderRecord* record);

// Takes no lock unless the list is being changed right now (then it waits for the change). Handle
// 0 finds the head of the list; a handle of a provider that has been unlinked finds nothing.
ProviderRef findProvider(ProviderHandle handle);

// The operations below expect the caller to hold BrokerLock. Sends see their result once the
// outermost hold of BrokerLock ends (until then they wait for it). Linking always succeeds; the
// bool stays for callers that check it.
bool pushFront(ProviderRecord* record);
bool append(ProviderRecord* record);
// Unlinks the first record of `module` (a null module matches nothing).
void removeByModule(platform::ModuleHandle module);

enum class Unload { FreeLibraries, KeepLibraries };
// Unlinks every record. KeepLibraries is for a terminating process: libraries are not unloaded.
void unloadAll(Unload mode = Unload::FreeLibraries);

// The head, for walks made under BrokerLock.
ProviderRecord* listHead();

// Publishes the changed list for lock-free sends and frees what no thread pins any more. Runs at
// the end of the outermost hold of BrokerLock.
void publishChanges();
// Detach, with no send running: frees everything unlinked, whatever the threads last looked at.
void forgetUnlinked();

} // namespace kov::registry
