#include "message/broker_confirms.h"

#include "runtime/block_allocator.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

namespace kov::message {
namespace {

// Tracking is a lock-free set of addresses: open-addressing tables where a confirm's address sits
// within kProbes places of its hash. Adding and removing are one compare-and-swap on the entry;
// asking about an address the set does not hold (every provider confirm) only reads. A full
// table gets a bigger one chained behind it; tables stay until detach, so a reader never finds
// one freed under it.
constexpr std::uintptr_t kEmpty = 0;
constexpr std::uintptr_t kRemoved = 1; // never an address: blocks are aligned
constexpr unsigned kProbes = 16;
constexpr std::uint32_t kFirstCapacity = 1024;

struct Table {
    std::uint32_t mask;
    std::atomic<Table*> next;
    std::atomic<std::uintptr_t> entries[1];
};

std::atomic<Table*> first{nullptr};
// Only for chaining a new table, which is rare; adding and removing never take it.
std::mutex growMutex;

std::uint32_t hashOf(std::uintptr_t address) {
    return static_cast<std::uint32_t>((address >> 3) * 2654435761u);
}

Table* newTable(std::uint32_t capacity) {
    const std::size_t size = sizeof(Table) + (capacity - 1) * sizeof(std::atomic<std::uintptr_t>);
    void* block = ::operator new(size, std::nothrow);
    if (block == nullptr) return nullptr;
    auto* table = static_cast<Table*>(block);
    table->mask = capacity - 1;
    new (&table->next) std::atomic<Table*>(nullptr);
    for (std::uint32_t i = 0; i < capacity; ++i)
        new (&table->entries[i]) std::atomic<std::uintptr_t>(kEmpty);
    return table;
}

bool insertInto(Table* table, std::uintptr_t address) {
    const std::uint32_t start = hashOf(address);
    for (unsigned p = 0; p < kProbes; ++p) {
        std::atomic<std::uintptr_t>& entry = table->entries[(start + p) & table->mask];
        std::uintptr_t seen = entry.load(std::memory_order_relaxed);
        while (seen == kEmpty || seen == kRemoved) {
            if (entry.compare_exchange_weak(seen, address, std::memory_order_release)) return true;
        }
    }
    return false;
}

// The table after `table`, chained on demand; null when no memory is left.
Table* following(std::atomic<Table*>& link, std::uint32_t capacity) {
    Table* next = link.load(std::memory_order_acquire);
    if (next != nullptr) return next;
    const std::lock_guard<std::mutex> guard(growMutex);
    next = link.load(std::memory_order_acquire);
    if (next == nullptr) {
        next = newTable(capacity);
        if (next != nullptr) link.store(next, std::memory_order_release);
    }
    return next;
}

bool track(const void* confirm) {
    const auto address = reinterpret_cast<std::uintptr_t>(confirm);
    std::uint32_t capacity = kFirstCapacity;
    for (Table* table = following(first, capacity); table != nullptr;) {
        if (insertInto(table, address)) return true;
        capacity = (table->mask + 1) * 2;
        table = following(table->next, capacity);
    }
    return false;
}

bool untrack(const void* confirm) {
    const auto address = reinterpret_cast<std::uintptr_t>(confirm);
    const std::uint32_t start = hashOf(address);
    for (Table* table = first.load(std::memory_order_acquire); table != nullptr;
         table = table->next.load(std::memory_order_acquire)) {
        for (unsigned p = 0; p < kProbes; ++p) {
            std::atomic<std::uintptr_t>& entry = table->entries[(start + p) & table->mask];
            std::uintptr_t seen = entry.load(std::memory_order_acquire);
            // Nothing is ever placed past an entry that was empty when it was placed.
            if (seen == kEmpty) break;
            if (seen == address) return entry.compare_exchange_strong(seen, kRemoved);
        }
    }
    return false;
}

} // namespace

BrokerMessage* newBrokerConfirm(const BrokerMessage* request, std::uint32_t payloadSize) {
    const std::uint32_t headerLength = request->headerLength;
    if (payloadSize > UINT32_MAX - headerLength) return nullptr;
    const std::uint32_t size = headerLength + payloadSize;
    auto* confirm = static_cast<BrokerMessage*>(runtime::allocate(size));
    if (confirm == nullptr) return nullptr;
    std::memcpy(confirm, request, headerLength);
    confirm->totalLength = size;
    if (!track(confirm)) {
        runtime::release(confirm);
        return nullptr;
    }
    return confirm;
}

bool releaseBrokerConfirm(BrokerMessage* confirm) {
    // Untracked first: once the block is free its address may come back as another confirm.
    if (confirm == nullptr || !untrack(confirm)) return false;
    runtime::release(confirm);
    return true;
}

void forgetTrackedConfirms() {
    Table* table = first.exchange(nullptr);
    while (table != nullptr) {
        Table* next = table->next.load();
        ::operator delete(table);
        table = next;
    }
}

} // namespace kov::message
