// Reading another process's region (region_layout.h). Nothing in it is trusted: the header is
// checked whole (magic, version, every table inside the region, strings terminated) before
// anything it points to is read, and a region that fails is reported, never followed.
#pragma once

#include "observe/region_layout.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kov::observe {

struct ProviderCounts {
    std::uint32_t handle = 0;
    std::uint32_t sets = 0;
    std::string name;
    // Sums over the shards, modulo 2^32.
    std::uint32_t counts[kShardCounters] = {};
    std::uint32_t failures[kFailureKinds] = {};
    std::uint32_t syncSent() const { return counts[kSyncAnswered] + counts[kSyncUnanswered]; }
    std::uint32_t inFlight() const { return counts[kAsyncSent] - counts[kAsyncFinished]; }
};

struct RegionCounts {
    std::uint32_t pid = 0;
    std::string startToken;
    std::string program;
    std::uint64_t startedAt = 0; // seconds since 1970
    bool traceOn = false;
    std::uint32_t threads = 0;   // slots a thread holds now
    // The threads' counters, summed (region_layout.h: the thread slot).
    std::uint64_t asyncCalls = 0, asyncDelivered = 0, asyncFailed = 0, syncCalls = 0, syncFailed = 0;
    std::uint32_t bytesAllocated = 0, bytesInUse = 0, bytesFreed = 0;
    std::vector<ProviderCounts> providers; // the listed ones, in block order
    std::uint64_t calls() const { return asyncCalls + syncCalls; }
};

// Checks `size` bytes copied from a region and reads them into `counts`. False with `problem`
// set when they are no region of this layout.
bool readRegion(const unsigned char* bytes, std::size_t size, RegionCounts& counts,
                std::string& problem);

struct TraceRecord {
    std::uint64_t time = 0; // microseconds since 1970
    std::uint32_t thread = 0, handle = 0, set = 0, code = 0, status = 0;
    std::uint32_t requestBytes = 0, confirmBytes = 0, latency = 0, kind = 0;
};

// Takes the records the rings of a live, checked region hold now (oldest first within each
// ring), at most `limit`, and marks them taken; `dropped` gets what the rings could not keep
// since the last call. One reader at a time per region.
std::vector<TraceRecord> takeTraceRecords(unsigned char* region, std::size_t limit,
                                          std::uint64_t& dropped);
// Turns tracing on or off in a live, checked region.
void setTracing(unsigned char* region, bool on);

} // namespace kov::observe
