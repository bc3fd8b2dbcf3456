#include "registry/provider_list.h"

#include "runtime/block_allocator.h"
#include "runtime/broker_lock.h"
#include "runtime/process.h"

#include <new>

namespace kov::registry {
namespace {

// Handles come from a counter, not from record addresses, so a freed record's handle can never
// name a newer record. Kept across attach/detach: unique for the life of the process.
std::atomic<ProviderHandle> lastHandle{0};

// What sends read: the head and an open-addressing index by handle, built whole under
// BrokerLock and never changed after it is published.
struct Snapshot {
    struct Entry {
        ProviderHandle handle; // 0: empty
        ProviderRecord* record;
    };
    ProviderRecord* head;
    std::uint32_t mask;
    Snapshot* nextRetired;
    Entry entries[1];
};

// Stands for "the list is being changed": a send that reads it waits on BrokerLock.
Snapshot changing{};

// Guarded by BrokerLock.
ProviderRecord* head = nullptr;
bool keepLibraries = false;
bool dirty = false;
ProviderRecord* retiredRecords = nullptr;
Snapshot* retiredSnapshots = nullptr;

// Null: the empty list.
std::atomic<Snapshot*> current{nullptr};

// Pinned when a lookup finds no record, so that the thread still shows as inside a send.
const char noRecord = 0;

ProviderHandle nextHandle() {
    ProviderHandle handle;
    do {
        handle = ++lastHandle;
    } while (handle == 0);
    return handle;
}

ProviderRecord* lookup(const Snapshot* snapshot, ProviderHandle handle) {
    if (snapshot == nullptr) return nullptr;
    if (handle == 0) return snapshot->head;
    for (std::uint32_t i = handle & snapshot->mask;; i = (i + 1) & snapshot->mask) {
        const Snapshot::Entry& entry = snapshot->entries[i];
        if (entry.handle == handle) return entry.record;
        if (entry.handle == 0) return nullptr;
    }
}

ProviderRecord* walk(ProviderHandle handle) {
    if (handle == 0) return head;
    for (ProviderRecord* r = head; r != nullptr; r = r->next)
        if (r->handle == handle) return r;
    return nullptr;
}

// Null when there is no memory: sends then keep finding their records under BrokerLock.
Snapshot* buildSnapshot() {
    std::uint32_t count = 0;
    for (const ProviderRecord* r = head; r != nullptr; r = r->next) ++count;
    std::uint32_t capacity = 4;
    while (capacity < 2 * count) capacity *= 2;
    const std::size_t size = sizeof(Snapshot) + (capacity - 1) * sizeof(Snapshot::Entry);
    void* block = ::operator new(size, std::nothrow);
    if (block == nullptr) return nullptr;
    auto* snapshot = new (block) Snapshot{};
    snapshot->head = head;
    snapshot->mask = capacity - 1;
    for (std::uint32_t i = 0; i < capacity; ++i) snapshot->entries[i] = {0, nullptr};
    for (ProviderRecord* r = head; r != nullptr; r = r->next) {
        std::uint32_t i = r->handle & snapshot->mask;
        while (snapshot->entries[i].handle != 0) i = (i + 1) & snapshot->mask;
        snapshot->entries[i] = {r->handle, r};
    }
    return snapshot;
}

void freeSnapshot(Snapshot* snapshot) { ::operator delete(snapshot); }

// Before anything is unlinked: from here on no send can reach the old snapshot's records
// without BrokerLock, so a scan of the pins sees every user.
void beginChange() {
    dirty = true;
    Snapshot* old = current.load();
    if (old == &changing) return;
    current.store(&changing);
    if (old != nullptr) {
        old->nextRetired = retiredSnapshots;
        retiredSnapshots = old;
    }
}

void destroyRecord(ProviderRecord* record) {
    if (record->module != nullptr && !keepLibraries) platform::freeLibrary(record->module);
    record->~ProviderRecord();
    runtime::release(record);
}

template <typename T, typename Free> void freeUnpinned(T*& list, Free free) {
    T** link = &list;
    while (*link != nullptr) {
        T* item = *link;
        if (runtime::isPinned(item)) {
            link = &item->nextRetired;
        } else {
            *link = item->nextRetired;
            free(item);
        }
    }
}

void reclaim() {
    freeUnpinned(retiredSnapshots, freeSnapshot);
    freeUnpinned(retiredRecords, destroyRecord);
}

void unlink(ProviderRecord* record, ProviderRecord* previous) {
    beginChange();
    (previous == nullptr ? head : previous->next) = record->next;
    record->next = nullptr;
    record->nextRetired = retiredRecords;
    retiredRecords = record;
    record->retired.store(true, std::memory_order_relaxed);
}

ProviderRef pinned(ProviderRecord* record, runtime::ThreadSlot* slot) {
    const void* object = record != nullptr ? static_cast<const void*>(record) : &noRecord;
    return ProviderRef(record, slot, runtime::pin(slot, object));
}

} // namespace

void ProviderRef::letGo() {
    if (slot_ == nullptr) return;
    // Only a read on the common path; the last user of an unlinked record frees it.
    const bool unlinked = record_ != nullptr && record_->retired.load(std::memory_order_relaxed);
    runtime::unpin(slot_, pinIndex_);
    slot_ = nullptr;
    record_ = nullptr;
    if (unlinked && runtime::attached()) runtime::BrokerLockGuard guard;
}

ProviderRef& ProviderRef::operator=(ProviderRef&& other) noexcept {
    if (this != &other) {
        letGo();
        record_ = other.record_;
        slot_ = other.slot_;
        pinIndex_ = other.pinIndex_;
        other.record_ = nullptr;
        other.slot_ = nullptr;
    }
    return *this;
}

ProviderRef::~ProviderRef() { letGo(); }

ProviderRecord* newProviderRecord(std::uint32_t descriptorSize) {
    constexpr std::uint32_t recordSize = sizeof(ProviderRecord);
    if (descriptorSize > UINT32_MAX - recordSize) return nullptr;
    void* block = runtime::allocate(recordSize + descriptorSize);
    if (block == nullptr) return nullptr;
    auto* record = new (block) ProviderRecord{};
    record->descriptorSize = descriptorSize;
    record->descriptor = static_cast<std::uint8_t*>(block) + recordSize;
    record->handle = nextHandle();
    return record;
}

void discardProviderRecord(ProviderRecord* record) {
    record->~ProviderRecord();
    runtime::release(record);
}

void unloadUnlinkedRecord(ProviderRecord* record) {
    if (record->module != nullptr) platform::freeLibrary(record->module);
    discardProviderRecord(record);
}

ProviderRef findProvider(ProviderHandle handle) {
    runtime::ThreadSlot* const slot = runtime::currentSlot();
    if (slot == nullptr) return ProviderRef();
    for (;;) {
        Snapshot* snapshot = current.load(std::memory_order_acquire);
        if (snapshot == &changing) {
            runtime::BrokerLockGuard guard;
            // Still changing under our own hold: this thread is making the change (a provider
            // sending from its initialisation), or no snapshot could be built. The list itself
            // is consistent while we hold the lock.
            if (current.load() == &changing) return pinned(walk(handle), slot);
            continue;
        }
        // The thread's snapshot pin stays set between sends, so the usual send writes nothing.
        if (slot->snapshotPin.load(std::memory_order_relaxed) != snapshot) {
            slot->snapshotPin.store(snapshot);
            if (current.load() != snapshot) continue;
        }
        ProviderRef ref = pinned(lookup(snapshot, handle), slot);
        // The record was reachable from a snapshot that is still the current one after the pin
        // became visible, so no writer has scanned for it yet.
        if (current.load() == snapshot) return ref;
    }
}

bool pushFront(ProviderRecord* record) {
    beginChange();
    record->next = head;
    head = record;
    return true;
}

bool append(ProviderRecord* record) {
    beginChange();
    record->next = nullptr;
    ProviderRecord** tail = &head;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = record;
    return true;
}

void removeByModule(platform::ModuleHandle module) {
    if (module == nullptr) return;
    ProviderRecord* previous = nullptr;
    for (ProviderRecord* record = head; record != nullptr; previous = record, record = record->next) {
        if (record->module == module) {
            unlink(record, previous);
            return;
        }
    }
}

void unloadAll(Unload mode) {
    runtime::BrokerLockGuard guard;
    while (head != nullptr) unlink(head, nullptr);
    if (mode == Unload::KeepLibraries) {
        keepLibraries = true;
        reclaim();
        keepLibraries = false;
    }
}

ProviderRecord* listHead() { return head; }

void publishChanges() {
    if (dirty) {
        Snapshot* snapshot = head == nullptr ? nullptr : buildSnapshot();
        if (head == nullptr || snapshot != nullptr) {
            current.store(snapshot);
            dirty = false;
        }
    }
    reclaim();
}

void forgetUnlinked() {
    runtime::BrokerLockGuard guard;
    runtime::dropSnapshotPins();
    reclaim();
}

} // namespace kov::registry
