#include "runtime/statistics.h"

#include "runtime/thread_slots.h"

#include <atomic>
#include <cstring>

namespace kov::runtime {
namespace {

constexpr std::uint32_t kRecordSize = 108;

// The published record has its 64-bit counters at offsets that are not 8-aligned, so the live
// counters are kept apart as aligned atomics and laid out only when copied. The call counters
// live in each thread's own slot (no line shared between senders) and are summed when read;
// `counters` here only takes the counts of a thread that could get no slot.
struct LiveStatistics {
    std::atomic<std::uint32_t> setCount{0};
    std::atomic<std::uint64_t> totalCalls{0};
    std::atomic<std::uint64_t> totalDelivered{0};
    std::atomic<std::uint64_t> totalFailed{0};
    std::atomic<std::uint64_t> counters[6] = {};
    std::atomic<std::uint32_t> bytesAllocated{0};
    std::atomic<std::uint32_t> bytesInUse{0};
    std::atomic<std::uint32_t> bytesFreed{0};
    std::atomic<std::uint32_t> syncWaiting{0};
};

LiveStatistics live;

std::uint64_t counter(Counter c) {
    const auto index = static_cast<unsigned>(c);
    return live.counters[index].load(std::memory_order_relaxed) + sumCounter(index);
}

void put64(KovCounter64& out, std::uint64_t value) {
    out.low = static_cast<std::uint32_t>(value);
    out.high = static_cast<std::uint32_t>(value >> 32);
}

} // namespace

void resetStatistics() {
    live.setCount = 0;
    live.totalCalls = 0;
    live.totalDelivered = 0;
    live.totalFailed = 0;
    for (auto& c : live.counters) c = 0;
    resetCounters();
    live.bytesAllocated = 0;
    live.bytesInUse = 0;
    live.bytesFreed = 0;
    live.syncWaiting = 0;
}

void countCall(Counter c) {
    const auto index = static_cast<unsigned>(c);
    ThreadSlot* const slot = currentSlot();
    if (slot == nullptr) {
        live.counters[index].fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // Only this thread writes its slot: a plain add, no locked instruction.
    std::atomic<std::uint64_t>& mine = slot->counters[index];
    mine.store(mine.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void countAllocated(std::uint32_t blockSize) {
    live.bytesAllocated.fetch_add(blockSize, std::memory_order_relaxed);
    live.bytesInUse.fetch_add(blockSize, std::memory_order_relaxed);
}

void countFreed(std::uint32_t blockSize) {
    live.bytesFreed.fetch_add(blockSize, std::memory_order_relaxed);
    live.bytesInUse.fetch_sub(blockSize, std::memory_order_relaxed);
}

void addSyncWaiting(std::int32_t delta) {
    ThreadSlot* const slot = currentSlot();
    if (slot == nullptr) {
        live.syncWaiting.fetch_add(static_cast<std::uint32_t>(delta), std::memory_order_relaxed);
        return;
    }
    std::atomic<std::int32_t>& mine = slot->syncWaiting;
    mine.store(mine.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

void resetSetCount() { live.setCount = 0; }

void addSetCount(std::uint32_t sets) { live.setCount.fetch_add(sets & 0xFFFFu); }

void computeTotals() {
    live.totalCalls = counter(Counter::SendCalls) + counter(Counter::SyncCalls);
    live.totalDelivered = counter(Counter::SendDelivered) + counter(Counter::SyncDelivered);
    live.totalFailed = counter(Counter::SendFailed) + counter(Counter::SyncFailed);
}

void copyStatistics(StatisticsRecord* out) {
    std::memset(out, 0, sizeof *out);
    out->length = kRecordSize;
    out->versionMajor = 1;
    out->versionMinor = 0;
    out->setCount = live.setCount;
    put64(out->totalCalls, live.totalCalls);
    put64(out->totalDelivered, live.totalDelivered);
    put64(out->totalFailed, live.totalFailed);
    put64(out->sendCalls, counter(Counter::SendCalls));
    put64(out->sendDelivered, counter(Counter::SendDelivered));
    put64(out->sendFailed, counter(Counter::SendFailed));
    put64(out->syncCalls, counter(Counter::SyncCalls));
    put64(out->syncDelivered, counter(Counter::SyncDelivered));
    put64(out->syncFailed, counter(Counter::SyncFailed));
    out->bytesAllocated = live.bytesAllocated;
    out->bytesInUse = live.bytesInUse;
    out->bytesFreed = live.bytesFreed;
    out->syncWaiting = live.syncWaiting + static_cast<std::uint32_t>(sumSyncWaiting());
}

} // namespace kov::runtime
