#include "registry/provider_list.h"

#include "runtime/block_allocator.h"
#include "runtime/broker_lock.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <new>

namespace kov::registry {

namespace {

// Handles come from a counter, not from record addresses, so a freed record's handle can never
// name a newer record. Kept across attach/detach: unique for the life of the process.
std::atomic<ProviderHandle> lastHandle{0};

Snapshot::Entry noEntries[1] = {{0, nullptr}};
Snapshot emptyList{0, 0, nullptr, noEntries, 0, true, 0, 0, nullptr, nullptr};

} // namespace

namespace detail {
std::atomic<Snapshot*> current{&emptyList};

const ProviderRecord* probeFurther(const Snapshot* snapshot, ProviderHandle handle) {
    if (snapshot->index[handle & snapshot->mask].record == nullptr) return nullptr;
    for (std::uint32_t probe = 1; probe <= snapshot->longestProbe; ++probe) {
        const Snapshot::Entry& entry = snapshot->index[(handle + probe) & snapshot->mask];
        if (entry.handle == handle) return entry.record;
        if (entry.record == nullptr) return nullptr;
    }
    return nullptr;
}
} // namespace detail

namespace {

using detail::current;
using detail::published;

// Guarded by BrokerLock.
bool writerBusy = false;      // a change or a freeing runs on the holding thread
std::uint32_t changes = 0;    // marks the records of the list being published
Snapshot* retiredFirst = nullptr; // oldest first
Snapshot* retiredLast = nullptr;

ProviderHandle nextHandle() {
    ProviderHandle handle;
    do {
        handle = ++lastHandle;
    } while (handle == 0);
    return handle;
}

// At least twice the records (and handle 0 besides), so a slot is always left empty.
std::uint32_t indexSlotsFor(std::uint32_t capacity) {
    std::uint32_t slots = 4;
    while (slots < 2 * capacity) slots *= 2;
    return slots;
}

std::size_t snapshotBytes(std::uint32_t capacity) {
    return sizeof(Snapshot) + indexSlotsFor(capacity) * sizeof(Snapshot::Entry) +
           capacity * sizeof(const ProviderRecord*);
}

Snapshot* placeSnapshot(void* block, std::uint32_t capacity, bool embedded) {
    const std::uint32_t slots = indexSlotsFor(capacity);
    auto* snapshot = new (block) Snapshot{};
    auto* bytes = static_cast<unsigned char*>(block) + sizeof(Snapshot);
    snapshot->index = reinterpret_cast<Snapshot::Entry*>(bytes);
    snapshot->records = reinterpret_cast<const ProviderRecord**>(bytes + slots * sizeof(Snapshot::Entry));
    snapshot->mask = slots - 1;
    snapshot->capacity = capacity;
    snapshot->embedded = embedded;
    for (std::uint32_t i = 0; i < slots; ++i) snapshot->index[i] = {0, nullptr};
    return snapshot;
}

// Null when no memory is left.
Snapshot* newSnapshot(std::uint32_t capacity) {
    void* block = ::operator new(snapshotBytes(capacity), std::nothrow);
    return block != nullptr ? placeSnapshot(block, capacity, false) : nullptr;
}

void freeSnapshot(Snapshot* snapshot) {
    if (!snapshot->embedded) ::operator delete(snapshot);
}

void destroyRecord(ProviderRecord* record) {
    if (record->module != nullptr) platform::freeLibrary(record->module);
    discardProviderRecord(record);
}

// Frees every replaced list (and what it alone held) that no guard can still see. Lists are
// retired in epoch order, so the first one still pinned ends the walk.
void freeDue() {
    while (retiredFirst != nullptr) {
        // Noted before the scan: a guard whose pin the scan finds sees it as it leaves, and asks.
        runtime::noteRetired(retiredFirst->retiredIn);
        if (runtime::pinnedAtOrBefore(retiredFirst->retiredIn)) return;
        Snapshot* const done = retiredFirst;
        retiredFirst = done->nextRetired;
        if (retiredFirst == nullptr) retiredLast = nullptr;
        // The list first: it may live in the block of one of its own records.
        ProviderRecord* unlisted = done->unlisted;
        freeSnapshot(done);
        while (unlisted != nullptr) {
            ProviderRecord* const record = unlisted;
            unlisted = record->link;
            destroyRecord(record);
        }
    }
    runtime::noteRetired(0);
}

// Set by a guard that left a retired epoch behind and wants it freed. It frees it itself when
// BrokerLock is free (it never waits for it); otherwise whoever holds the lock looks again as it
// lets go, so no request is lost.
std::atomic<bool> freeWanted{false};

void freeWhatIsWanted() {
    while (freeWanted.load()) {
        if (!runtime::tryLock()) return; // the holder looks again when it lets go
        if (writerBusy) {
            // This very thread is changing the list (a send from a library it loads): the
            // change looks again when it ends.
            runtime::unlock();
            return;
        }
        freeWanted.store(false);
        writerBusy = true;
        freeDue();
        writerBusy = false;
        runtime::unlock();
    }
}

void freeDueOnLeave() {
    freeWanted.store(true);
    freeWhatIsWanted();
}

// Replaces the published list with `next`; `unlisted` are the old records it leaves out.
void replaceList(Snapshot* next, ProviderRecord* unlisted) {
    Snapshot* const old = current.load(std::memory_order_relaxed);
    current.store(next);
    const std::uint32_t ended = runtime::advanceEpoch();
    if (old != &emptyList) {
        old->retiredIn = ended;
        old->unlisted = unlisted;
        old->nextRetired = nullptr;
        (retiredLast != nullptr ? retiredLast->nextRetired : retiredFirst) = old;
        retiredLast = old;
    }
    freeDue();
}

} // namespace

// ---- records

ProviderRecord* newProviderRecord(std::uint32_t descriptorSize, const char* keyName,
                                  const char* path, bool soloList) {
    constexpr std::uint32_t recordSize = sizeof(ProviderRecord);
    const std::size_t keyBytes = std::strlen(keyName) + 1;
    const std::size_t pathBytes = std::strlen(path) + 1;
    // The list of this record alone goes first, where its pointers are aligned.
    const std::size_t soloBytes = soloList ? snapshotBytes(1) : 0;
    const std::uint64_t size =
        std::uint64_t{recordSize} + soloBytes + descriptorSize + keyBytes + pathBytes;
    if (size > UINT32_MAX) return nullptr;
    void* block = runtime::allocate(static_cast<std::uint32_t>(size));
    if (block == nullptr) return nullptr;
    auto* record = new (block) ProviderRecord{};
    auto* bytes = static_cast<char*>(block) + recordSize;
    if (soloList) record->soloList = placeSnapshot(bytes, 1, true);
    bytes += soloBytes;
    record->descriptorSize = descriptorSize;
    record->descriptor = reinterpret_cast<std::uint8_t*>(bytes);
    char* const key = bytes + descriptorSize;
    std::memcpy(key, keyName, keyBytes);
    std::memcpy(key + keyBytes, path, pathBytes);
    record->keyName = key;
    record->path = key + keyBytes;
    record->handle = nextHandle();
    record->counters = observe::claimProviderBlock(record->handle, keyName, 0);
    return record;
}

void discardProviderRecord(ProviderRecord* record) {
    observe::releaseProviderBlock(record->counters);
    record->~ProviderRecord();
    runtime::release(record);
}

void unloadUnlistedRecord(ProviderRecord* record) {
    if (record->module != nullptr) platform::freeLibrary(record->module);
    discardProviderRecord(record);
}

// ---- writers

ListChange::ListChange() {
    runtime::lock();
    refused_ = writerBusy;
    writerBusy = true;
}

ListChange::~ListChange() {
    if (next_ != nullptr) freeSnapshot(next_);
    if (!refused_) writerBusy = false;
    runtime::unlock();
    freeWhatIsWanted();
}

ListView ListChange::listed() const {
    const Snapshot* const snapshot = published();
    return {snapshot->records, snapshot->count};
}

bool ListChange::prepare(std::uint32_t count) {
    assert(!refused_);
    if (next_ != nullptr) freeSnapshot(next_);
    next_ = newSnapshot(count);
    return next_ != nullptr;
}

void ListChange::add(ProviderRecord* record) {
    assert(next_ != nullptr && next_->count < next_->capacity);
    next_->records[next_->count++] = record;
}

void ListChange::prepareAlone(ProviderRecord* record) {
    assert(record->soloList != nullptr && record->soloList->count == 0);
    if (next_ != nullptr) freeSnapshot(next_);
    next_ = record->soloList;
    add(record);
}

bool ListChange::prepareAppended(ProviderRecord* record) {
    const ListView old = listed();
    if (!prepare(old.count + 1)) return false;
    for (const ProviderRecord* r : old) add(const_cast<ProviderRecord*>(r));
    add(record);
    return true;
}

bool ListChange::prepareWithout(const ProviderRecord* record) {
    const ListView old = listed();
    if (!prepare(old.count - 1)) return false;
    for (const ProviderRecord* r : old)
        if (r != record) add(const_cast<ProviderRecord*>(r));
    return true;
}

void ListChange::publish() {
    Snapshot* const next = next_;
    next_ = nullptr;
    ++changes;
    if (next->count != 0) next->index[0] = {0, next->records[0]};
    for (std::uint32_t n = 0; n < next->count; ++n) {
        auto* record = const_cast<ProviderRecord*>(next->records[n]);
        record->listedBy = changes;
        __atomic_store_n(reinterpret_cast<std::uint32_t*>(record->counters + observe::kProvOffSets),
                         record->setCount, __ATOMIC_RELAXED);
        std::uint32_t i = record->handle & next->mask;
        std::uint32_t probe = 0;
        for (; next->index[i].record != nullptr; ++probe) i = (i + 1) & next->mask;
        next->index[i] = {record->handle, record};
        next->longestProbe = std::max(next->longestProbe, probe);
    }
    ProviderRecord* unlisted = nullptr;
    const Snapshot* const old = current.load(std::memory_order_relaxed);
    for (std::uint32_t n = 0; n < old->count; ++n) {
        auto* record = const_cast<ProviderRecord*>(old->records[n]);
        if (record->listedBy == changes) continue;
        record->link = unlisted;
        unlisted = record;
    }
    replaceList(next, unlisted);
}

void unloadAll() {
    const runtime::BrokerLockGuard guard;
    const Snapshot* const old = current.load(std::memory_order_relaxed);
    ProviderRecord* unlisted = nullptr;
    for (std::uint32_t n = 0; n < old->count; ++n) {
        auto* record = const_cast<ProviderRecord*>(old->records[n]);
        record->link = unlisted;
        unlisted = record;
    }
    replaceList(&emptyList, unlisted);
    freeWanted.store(false);
}

void startProviderList() {
    current.store(&emptyList);
    retiredFirst = retiredLast = nullptr;
    writerBusy = false;
    freeWanted.store(false);
    runtime::noteRetired(0);
    runtime::onGuardLeft(freeDueOnLeave);
}

} // namespace kov::registry
