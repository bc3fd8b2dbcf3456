// Confirms the broker builds itself (error confirms, the broker provider's replies). They are
// BlockAllocator blocks and are tracked, so kov_DeleteConfirm can recognise and release them
// whatever their provider field names, without ever reading memory the broker did not hand out.
#pragma once

#include "runtime/block_allocator.h"

#include <kov/kov_broker.h>

#include <atomic>
#include <cstdint>

namespace kov::message {

// Detach: the blocks stay with whoever holds them, the module just stops knowing them.
void forgetTrackedConfirms();

// The tracking: a lock-free set of addresses in tables of buckets of four. An address lives in
// the bucket its hash names, in the first table whose bucket had room; adding and removing are
// one compare-and-swap on an entry, and a removed entry is simply empty again. A full bucket
// sends the address to a bigger table chained behind; tables stay until detach, so a reader
// never finds one freed under it.
namespace tracking {

constexpr unsigned kBucketEntries = 4;

// A table's head; its buckets follow it in the same block (`entriesOf`).
struct Table {
    std::uint32_t mask; // buckets - 1
    std::atomic<Table*> next;
};

inline std::atomic<std::uintptr_t>* entriesOf(Table* table) {
    return reinterpret_cast<std::atomic<std::uintptr_t>*>(table + 1);
}

extern KOV_MODULE_GLOBAL std::atomic<Table*> first;
// How many addresses the tables hold. A confirm handed to a release was tracked before it could be
// handed on, so while none is tracked, nothing released can be a broker's.
extern KOV_MODULE_GLOBAL std::atomic<std::uint32_t> live;

inline std::uint32_t bucketOf(const Table* table, std::uintptr_t address) {
    return (static_cast<std::uint32_t>((address >> 3) * 2654435761u) >> 8) & table->mask;
}

} // namespace tracking

namespace detail {
bool trackSlow(std::uintptr_t address);

inline std::atomic<std::uintptr_t>* bucketIn(tracking::Table* table, std::uintptr_t address) {
    return tracking::entriesOf(table) + tracking::kBucketEntries * tracking::bucketOf(table, address);
}

// Puts the address into the first empty entry of its bucket in `table`; false when it is full.
inline bool insertInto(tracking::Table* table, std::uintptr_t address) {
    std::atomic<std::uintptr_t>* const bucket = bucketIn(table, address);
    for (unsigned i = 0; i < tracking::kBucketEntries; ++i) {
        std::uintptr_t expected = 0;
        if (bucket[i].compare_exchange_strong(expected, address, std::memory_order_release)) {
            tracking::live.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

// Most confirms fit the first table's bucket: one compare-and-swap, no call. Chaining a table
// (or making the first) is the slow path's.
inline bool track(const void* confirm) {
    const auto address = reinterpret_cast<std::uintptr_t>(confirm);
    tracking::Table* const table = tracking::first.load(std::memory_order_acquire);
    return (table != nullptr && insertInto(table, address)) || trackSlow(address);
}
} // namespace detail

// A block of headerLength + payloadSize bytes holding a copy of the request's header, with
// totalLength set to the whole size and the payload zeroed. Null when no memory is left.
inline BrokerMessage* newBrokerConfirm(const BrokerMessage* request, std::uint32_t payloadSize) {
    const std::uint32_t headerLength = request->headerLength;
    if (payloadSize > UINT32_MAX - headerLength) return nullptr;
    const std::uint32_t size = headerLength + payloadSize;
    auto* const confirm = static_cast<BrokerMessage*>(runtime::allocate(size, request, headerLength));
    if (confirm == nullptr) return nullptr;
    confirm->totalLength = size;
    if (!detail::track(confirm)) {
        runtime::release(confirm);
        return nullptr;
    }
    return confirm;
}

namespace detail {
bool releaseTracked(BrokerMessage* confirm);
} // namespace detail

// True when `confirm` is a broker-built confirm still alive; it is then released. Every release
// of a provider's confirm asks too, so the common answer is inline: while the broker has no
// confirm out, no.
inline bool releaseBrokerConfirm(BrokerMessage* confirm) {
    if (KOV_LIKELY(confirm == nullptr || tracking::live.load(std::memory_order_relaxed) == 0))
        return false;
    return detail::releaseTracked(confirm);
}

} // namespace kov::message
