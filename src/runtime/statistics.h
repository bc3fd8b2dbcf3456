// Usage statistics: every counter a send touches (calls, bytes, syncWaiting) is kept per thread and
// summed when read, so concurrent sends share no written line and never lose a count; the sums
// are exact whenever no send runs.
// GetStatistics copies them out in the fixed StatisticsRecord layout.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>

namespace kov::runtime {

enum class Counter {
    SendCalls,
    SendDelivered,
    SendFailed,
    SyncCalls,
    SyncDelivered,
    SyncFailed,
};

// All counters zero, as at process attach.
void resetStatistics();

void countCall(Counter counter);
void countAllocated(std::uint32_t blockSize);
void countFreed(std::uint32_t blockSize);
void addSyncWaiting(std::int32_t delta);

void resetSetCount();
std::uint32_t setCount();
// Puts back the value an interrupted load found.
void restoreSetCount(std::uint32_t value);
// Only the low 16 bits of a provider's set count are counted.
void addSetCount(std::uint32_t sets);

// Stores the three totals (sends + synchronous sends) into the live counters.
void computeTotals();
// Writes the live counters in the 108-byte record layout.
void copyStatistics(StatisticsRecord* out);

} // namespace kov::runtime
