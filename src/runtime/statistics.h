// Usage statistics: every counter a send touches (calls, bytes) is kept per thread and summed when
// read, so concurrent sends share no written line and never lose a count; the sums
// are exact whenever no send runs.
// GetStatistics copies them out in the fixed StatisticsRecord layout.
#pragma once

#include "runtime/thread_slots.h"

#include <kov/kov_broker.h>

#include <atomic>
#include <cstdint>

namespace kov::runtime {

enum class Counter {
    SendCalls,
    SendDelivered,
    SendFailed,
    SyncCalls,
    SyncFailed, // every other synchronous call was delivered: syncDelivered is the difference
};

// All counters zero, as at process attach.
void resetStatistics();

void countCall(Counter counter);
// The same for a thread inside a guard, which has its slot at hand: a plain increment of a
// counter only this thread writes.
inline void countCall(ThreadSlot* slot, Counter counter) {
    bump(slot, static_cast<unsigned>(counter));
}
void countAllocated(std::uint32_t blockSize);
void countFreed(std::uint32_t blockSize);
// The same for a thread that has its slot at hand: plain adds to counters only it writes (no
// locked instruction). A freed block subtracts from this thread's bytesInUse share even when
// another thread allocated it; only the sum over all shares has to come out right.
inline void addToOwn(std::atomic<std::uint32_t>& mine, std::uint32_t delta) {
    mine.store(mine.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}
inline void countAllocated(ThreadSlot* slot, std::uint32_t blockSize) {
    addToOwn(slot->bytes[kBytesAllocated], blockSize);
    addToOwn(slot->bytes[kBytesInUse], blockSize);
}
inline void countFreed(ThreadSlot* slot, std::uint32_t blockSize) {
    addToOwn(slot->bytes[kBytesFreed], blockSize);
    addToOwn(slot->bytes[kBytesInUse], 0u - blockSize);
}

void resetSetCount();
std::uint32_t setCount();
// Puts back the value an interrupted load found.
void restoreSetCount(std::uint32_t value);
// Only the low 16 bits of a provider's set count are counted.
void addSetCount(std::uint32_t sets);

// Stores the three totals (sends + synchronous sends) into the live counters.
void computeTotals();
// Writes the live counters in the 108-byte record layout. The synchronous calls waiting now are
// counted where they wait (dispatch::waitingSyncCalls), when asked, not on every call.
void copyStatistics(StatisticsRecord* out, std::uint32_t syncWaiting);

} // namespace kov::runtime
