// ProviderList: every loaded provider, the broker provider first. Readers (every export) see the
// list as one published, read-only snapshot, found under their guard without any lock. Writers
// (loading, reload, registration, removal) work under BrokerLock: they build the next list aside
// and publish it whole, so a reader sees either the old list or the new one, never a list being
// built. What the new list leaves out stays alive until no guard can still see it (guard.h).
#pragma once

#include "observe/published_region.h"
#include "platform/platform.h"
#include "runtime/broker_lock.h"
#include "runtime/guard.h"

#include <kov/kov_broker.h>

#include <atomic>
#include <cassert>
#include <cstdint>

namespace kov::registry {

struct Snapshot; // a published list

struct ProviderRecord {
    platform::ModuleHandle module; // null for the broker provider
    KovDeleteReceiveFn deleteEntry;
    KovReceiveFn receiveEntry;
    KovGetSubSystemInfoFn infoEntry; // null for the broker provider
    std::uint32_t setCount;
    std::uint32_t descriptorSize;
    std::uint8_t* descriptor; // follows the record in the same block

    ProviderHandle handle; // unique for the life of the process, never 0
    // Its block of counters in the published region (observe/region_layout.h); a request
    // counts at counters + its slot's shardOffset.
    unsigned char* counters;
    // The provider key and library path it was loaded for, in the same block; empty for the
    // broker provider. Removal picks a record by them.
    const char* keyName;
    const char* path;
    std::uint32_t layer; // KOV_LAYER_...: the registry it was listed in
    // Writers only: the chain of records loaded but not yet listed, or unlisted and waiting to be
    // freed; the change that listed the record last; room for a list of this record alone.
    ProviderRecord* link;
    std::uint32_t listedBy;
    Snapshot* soloList;
};

// A list as published: its records in list order. Stays valid while the guard it was read under
// (or, for a writer, BrokerLock) is held.
struct ListView {
    const ProviderRecord* const* records;
    std::uint32_t count;
    const ProviderRecord* const* begin() const { return records; }
    const ProviderRecord* const* end() const { return records + count; }
};

// A published list: the records in list order and an open-addressing index by handle, built
// whole before it is published and never changed after. Handle 0 names the head of the list and
// is indexed first, so it always sits in slot 0 (an empty list leaves slot 0 empty: handle 0 finds
// null there), and a lookup needs no case of its own for it. Writers chain replaced lists, with the
// records the next list left out, until no guard can still see them.
struct Snapshot {
    struct Entry {
        ProviderHandle handle;
        const ProviderRecord* record; // null: empty
    };
    std::uint32_t count;
    std::uint32_t mask;
    const ProviderRecord** records;
    Entry* index;
    // The farthest any handle sits from its first slot. Handles are counted out in sequence, so
    // nearly every one sits in its first slot: a handle not listed is known after a probe or two
    // even where the listed ones fill a long run of slots.
    std::uint32_t longestProbe;
    // Writers only.
    bool embedded; // lives in a record's block (the broker provider's list of one): never deleted
    std::uint32_t capacity;
    std::uint32_t retiredIn;   // the epoch that ended when it was replaced
    ProviderRecord* unlisted;  // its records that the next list left out
    Snapshot* nextRetired;
};

namespace detail {
extern KOV_MODULE_GLOBAL std::atomic<Snapshot*> current;
// Under a guard, or under BrokerLock for a writer (debug builds check).
inline const Snapshot* published() {
    assert(runtime::insideGuard() || runtime::lockHeldHere());
    return current.load();
}
// The rest of a lookup whose first slot held another handle (a shared slot, or an empty one).
const ProviderRecord* probeFurther(const Snapshot* snapshot, ProviderHandle handle);
} // namespace detail

// ---- readers: under a guard of the calling thread (inline: every send makes one lookup)
// Handle 0 finds the head of the list; a handle of a provider that is no longer listed finds
// nothing. Null on an empty list.
inline const ProviderRecord* findProvider(const runtime::Guard&, ProviderHandle handle) {
    const Snapshot* const snapshot = detail::published();
    const Snapshot::Entry& first = snapshot->index[handle & snapshot->mask];
    if (KOV_LIKELY(first.handle == handle)) return first.record;
    return detail::probeFurther(snapshot, handle);
}

// The shard of `record`'s counters the calling thread writes.
inline unsigned char* shardOf(const ProviderRecord* record, const runtime::ThreadSlot* slot) {
    return record->counters + slot->shardOffset;
}

inline ListView listedProviders(const runtime::Guard&) {
    const Snapshot* const snapshot = detail::published();
    return {snapshot->records, snapshot->count};
}

// ---- records
// One block holding a record, a zeroed descriptor area of descriptorSize bytes and copies of the
// key name and path, with a fresh handle. With `soloList`, the block also has room to publish a
// list of this record alone, which then needs no memory of its own (the broker provider's, so
// that handle 0 answers whenever its record could be built). Null when no memory is left.
ProviderRecord* newProviderRecord(std::uint32_t descriptorSize, const char* keyName = "",
                                  const char* path = "", bool soloList = false);
// Frees a record that was never listed (unloads nothing).
void discardProviderRecord(ProviderRecord* record);
// Unloads the library of a record that was never listed, then frees the record.
void unloadUnlistedRecord(ProviderRecord* record);

// ---- writers

// One change of the list, under BrokerLock. A thread that is changing the list already (a
// library that sends Reload from its initialisation, say) is refused: the change it is inside
// would otherwise be changed under its feet.
class ListChange {
public:
    ListChange();
    ~ListChange();
    ListChange(const ListChange&) = delete;
    ListChange& operator=(const ListChange&) = delete;

    bool refused() const { return refused_; }
    // The list as published now.
    ListView listed() const;
    // Room for the next list of `count` records; false when no memory is left (nothing changes).
    bool prepare(std::uint32_t count);
    // The next record of the prepared list, in list order.
    void add(ProviderRecord* record);
    // Prepares a list of `record` alone, in the room its block has for it (newProviderRecord);
    // once only for each record.
    void prepareAlone(ProviderRecord* record);
    // Prepares the list as published with `record` at its end, or without `record`.
    bool prepareAppended(ProviderRecord* record);
    bool prepareWithout(const ProviderRecord* record);
    // Publishes the prepared list whole. Records of the old list that it leaves out are unlisted:
    // their libraries are unloaded and their blocks freed once no guard can still reach them.
    void publish();

private:
    bool refused_;
    Snapshot* next_ = nullptr;
};

// Detach, with nobody inside: unlists every record and frees everything now.
void unloadAll();

// Attach: the list starts empty, and guards that leave free what is due.
void startProviderList();

} // namespace kov::registry
