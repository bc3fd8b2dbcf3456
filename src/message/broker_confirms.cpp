#include "message/broker_confirms.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

namespace kov::message {

namespace tracking {
std::atomic<Table*> first{nullptr};
std::atomic<std::uint32_t> live{0};
} // namespace tracking

namespace {

using tracking::kBucketEntries;
using tracking::Table;

constexpr std::uintptr_t kEmpty = 0;
constexpr std::uint32_t kFirstBuckets = 256;

// Only for chaining a new table, which is rare; adding and removing never take it.
std::mutex growMutex;

Table* newTable(std::uint32_t buckets) {
    const std::uint32_t entries = kBucketEntries * buckets;
    const std::size_t size = sizeof(Table) + entries * sizeof(std::atomic<std::uintptr_t>);
    void* block = ::operator new(size, std::nothrow);
    if (block == nullptr) return nullptr;
    auto* table = new (block) Table;
    table->mask = buckets - 1;
    table->next.store(nullptr, std::memory_order_relaxed);
    std::atomic<std::uintptr_t>* const entry = tracking::entriesOf(table);
    for (std::uint32_t i = 0; i < entries; ++i) new (entry + i) std::atomic<std::uintptr_t>(kEmpty);
    return table;
}

// The table after `table`, chained on demand; null when no memory is left.
Table* following(std::atomic<Table*>& link, std::uint32_t buckets) {
    Table* next = link.load(std::memory_order_acquire);
    if (next != nullptr) return next;
    const std::lock_guard<std::mutex> guard(growMutex);
    next = link.load(std::memory_order_acquire);
    if (next == nullptr) {
        next = newTable(buckets);
        if (next != nullptr) link.store(next, std::memory_order_release);
    }
    return next;
}

} // namespace

namespace detail {

bool trackSlow(std::uintptr_t address) {
    std::uint32_t buckets = kFirstBuckets;
    for (Table* table = following(tracking::first, buckets); table != nullptr;) {
        if (insertInto(table, address)) return true;
        buckets = (table->mask + 1) * 2;
        table = following(table->next, buckets);
    }
    return false;
}

// The address's bucket in each table in turn (most are in the first). Untracked before the block
// goes: once it is free its address may come back as another confirm.
bool releaseTracked(BrokerMessage* confirm) {
    const auto address = reinterpret_cast<std::uintptr_t>(confirm);
    for (Table* table = tracking::first.load(std::memory_order_acquire); table != nullptr;
         table = table->next.load(std::memory_order_acquire)) {
        std::atomic<std::uintptr_t>* const entries = bucketIn(table, address);
        for (unsigned i = 0; i < kBucketEntries; ++i) {
            std::uintptr_t seen = address;
            if (entries[i].load(std::memory_order_relaxed) == address &&
                entries[i].compare_exchange_strong(seen, kEmpty)) {
                tracking::live.fetch_sub(1, std::memory_order_relaxed);
                runtime::release(confirm);
                return true;
            }
        }
    }
    return false;
}

} // namespace detail

void forgetTrackedConfirms() {
    tracking::live.store(0);
    Table* table = tracking::first.exchange(nullptr);
    while (table != nullptr) {
        Table* next = table->next.load();
        ::operator delete(table);
        table = next;
    }
}

} // namespace kov::message
