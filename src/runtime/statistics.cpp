#include "runtime/statistics.h"

#include "runtime/thread_slots.h"

#include <atomic>
#include <cstring>

namespace kov::runtime {
namespace {

constexpr std::uint32_t kRecordSize = 108;

// The published record has its 64-bit counters at offsets that are not 8-aligned, so the live
// counters are kept apart as aligned atomics and laid out only when copied. Every counter a send
// touches (calls, bytes) lives in each thread's own slot, so senders share no line,
// and is summed when read; the fields here only take the counts of a thread that has no slot
// (no memory for one, or the last releases of a detach).
struct LiveStatistics {
    std::atomic<std::uint32_t> setCount{0};
    std::atomic<std::uint64_t> totalCalls{0};
    std::atomic<std::uint64_t> totalDelivered{0};
    std::atomic<std::uint64_t> totalFailed{0};
    std::atomic<std::uint64_t> counters[kThreadCounters] = {};
    std::atomic<std::uint32_t> bytesAllocated{0};
    std::atomic<std::uint32_t> bytesInUse{0};
    std::atomic<std::uint32_t> bytesFreed{0};
};

LiveStatistics live;

enum ByteCounter : unsigned {
    Allocated = kBytesAllocated,
    InUse = kBytesInUse,
    Freed = kBytesFreed,
};

std::uint64_t counter(Counter c) {
    const auto index = static_cast<unsigned>(c);
    return live.counters[index].load(std::memory_order_relaxed) + sumCounter(index);
}

// Every synchronous call counted is delivered unless it failed. Failures are read first: a call is
// counted before it can fail, so a sum read while calls run never comes out below zero.
std::uint64_t syncDelivered() {
    const std::uint64_t failed = counter(Counter::SyncFailed);
    const std::uint64_t calls = counter(Counter::SyncCalls);
    return calls >= failed ? calls - failed : 0;
}

std::atomic<std::uint32_t>& sharedBytes(ByteCounter c) {
    switch (c) {
    case Allocated: return live.bytesAllocated;
    case InUse: return live.bytesInUse;
    default: return live.bytesFreed;
    }
}

std::uint32_t bytes(ByteCounter c) {
    return sharedBytes(c).load(std::memory_order_relaxed) + sumByteCounter(c);
}

// For a thread without a slot.
void addShared(ByteCounter c, std::uint32_t delta) {
    sharedBytes(c).fetch_add(delta, std::memory_order_relaxed);
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
    live.bytesAllocated = 0;
    live.bytesInUse = 0;
    live.bytesFreed = 0;
}

void countCall(Counter c) {
    const auto index = static_cast<unsigned>(c);
    ThreadSlot* const slot = currentSlot();
    if (slot == nullptr) {
        live.counters[index].fetch_add(1, std::memory_order_relaxed);
        return;
    }
    bump(slot, index);
}

void countAllocated(std::uint32_t blockSize) {
    ThreadSlot* const slot = currentSlot();
    if (slot != nullptr) return countAllocated(slot, blockSize);
    addShared(Allocated, blockSize);
    addShared(InUse, blockSize);
}

void countFreed(std::uint32_t blockSize) {
    ThreadSlot* const slot = currentSlot();
    if (slot != nullptr) return countFreed(slot, blockSize);
    addShared(Freed, blockSize);
    addShared(InUse, 0u - blockSize);
}

void resetSetCount() { live.setCount = 0; }

std::uint32_t setCount() { return live.setCount; }

void restoreSetCount(std::uint32_t value) { live.setCount = value; }

void addSetCount(std::uint32_t sets) { live.setCount.fetch_add(sets & 0xFFFFu); }

void computeTotals() {
    live.totalCalls = counter(Counter::SendCalls) + counter(Counter::SyncCalls);
    live.totalDelivered = counter(Counter::SendDelivered) + syncDelivered();
    live.totalFailed = counter(Counter::SendFailed) + counter(Counter::SyncFailed);
}

void copyStatistics(StatisticsRecord* out, std::uint32_t syncWaiting) {
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
    put64(out->syncDelivered, syncDelivered());
    put64(out->syncFailed, counter(Counter::SyncFailed));
    out->bytesAllocated = bytes(Allocated);
    out->bytesInUse = bytes(InUse);
    out->bytesFreed = bytes(Freed);
    out->syncWaiting = syncWaiting;
}

} // namespace kov::runtime
