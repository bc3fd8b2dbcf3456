// The layout of a process's published region: one mapped block holding the counters the broker
// keeps as it runs (each thread's, each provider's) and the trace rings, written where they live
// and read by kovctl from another process. Everything is at a fixed offset; a reader checks the
// header before it follows any of them (region_reader.h). Integers are little-endian, 64-bit
// ones as two 32-bit halves (low first), so the layout is the same on both targets.
#pragma once

#include <cstdint>

namespace kov::observe {

constexpr char kRegionMagic[8] = {'K', 'O', 'V', 'B', 'R', 'O', 'B', 'S'};
constexpr std::uint32_t kLayoutVersion = 1;

// Header (kHeaderBytes): offsets of its fields.
constexpr std::uint32_t kHeaderBytes = 512;
constexpr std::uint32_t kOffMagic = 0;            // 8 bytes
constexpr std::uint32_t kOffVersion = 8;
constexpr std::uint32_t kOffHeaderBytes = 12;
constexpr std::uint32_t kOffRegionBytes = 16;
constexpr std::uint32_t kOffPid = 20;
constexpr std::uint32_t kOffSlotsAt = 24;         // thread slots: offset, count, bytes each
constexpr std::uint32_t kOffSlotCount = 28;
constexpr std::uint32_t kOffSlotBytes = 32;
constexpr std::uint32_t kOffProvidersAt = 36;     // provider blocks: offset, count, bytes each
constexpr std::uint32_t kOffProviderCount = 40;
constexpr std::uint32_t kOffProviderBytes = 44;
constexpr std::uint32_t kOffRingsAt = 48;         // trace rings: offset, count, bytes each
constexpr std::uint32_t kOffRingCount = 52;
constexpr std::uint32_t kOffRingBytes = 56;
constexpr std::uint32_t kOffTraceRecordBytes = 60;
// The run state, one word every request reads: kProvidersLoaded once the broker has loaded its
// providers, kTracing while requests are traced (kovctl trace sets and clears it). A request
// takes the straight path only when the word is kProvidersLoaded alone.
constexpr std::uint32_t kOffRunState = 64;
constexpr std::uint32_t kProvidersLoaded = 1, kTracing = 2;
constexpr std::uint32_t kOffTraceUnringed = 68;   // traced requests of threads without a ring
constexpr std::uint32_t kOffStartedAt = 72;       // attach time, seconds since 1970 (64-bit)
constexpr std::uint32_t kOffStartToken = 80;      // what tells this run from a later one, 64 bytes
constexpr std::uint32_t kStartTokenBytes = 64;
constexpr std::uint32_t kOffProgram = 144;        // the program's path, 256 bytes
constexpr std::uint32_t kProgramBytes = 256;
// 400 to 511 reserved (zero).

// A thread slot (kSlotBytes): the first line is the broker's own bookkeeping; the second holds
// the thread's counters: five 64-bit ones (async calls, async delivered, async failed, sync
// calls, sync failed), each two words worth high * 2^31 + low, the carry sequence (odd while a
// carry moves 2^31 from low to high) and three 32-bit byte counters.
constexpr std::uint32_t kSlots = 128;
constexpr std::uint32_t kSlotBytes = 128;
constexpr std::uint32_t kSlotOffOwner = 0;        // nonzero while a thread holds the slot
constexpr std::uint32_t kSlotOffCounters = 64;
constexpr std::uint32_t kSlotCounters = 5;
constexpr std::uint32_t kSlotOffCarrying = 104;
constexpr std::uint32_t kSlotOffBytes = 108;

// A provider block (kProviderBytes): its identity and failures, its name, then kShards shards
// of 32-bit counters. A thread counts into the shard its slot names, so two threads sending to
// one provider write different lines; a reader adds the shards. These counters wrap at 2^32:
// take differences modulo 2^32.
constexpr std::uint32_t kProviders = 64;
constexpr std::uint32_t kProviderBytes = 384;
constexpr std::uint32_t kProvOffState = 0;        // 0 free, 1 listed, 2 no longer listed
constexpr std::uint32_t kProvOffHandle = 4;
constexpr std::uint32_t kProvOffSets = 8;         // function sets it serves
constexpr std::uint32_t kProvOffFailures = 16;    // kFailureKinds counters, by status
constexpr std::uint32_t kFailureKinds = 12;
constexpr std::uint32_t kProvOffName = 64;        // its registry key (or "broker"), 64 bytes
constexpr std::uint32_t kNameBytes = 64;
constexpr std::uint32_t kProvOffShards = 128;
constexpr std::uint32_t kShards = 4;
constexpr std::uint32_t kShardBytes = 64;
// Counters of a shard, by index (4 bytes each).
enum ShardCounter : std::uint32_t {
    kAsyncSent,       // kov_Send requests handed to the provider
    kAsyncFinished,   // of those, the ones whose receive entry returned
    kSyncAnswered,    // kov_SendSync calls that ended with the provider's confirm
    kSyncUnanswered,  // kov_SendSync calls the provider took that ended without one
    kConfirmBytes,    // the answered calls' confirm lengths
    kFailed,          // requests that ended with a nonzero status (all kinds)
    kShardCounters
};
// A synchronous call is counted as it ends (what it costs to count it as it starts is more than
// the call's budget of instructions allows): in flight counts kov_Send calls inside the
// provider's entry.
// Failure kinds: statuses 1 to 11 in kinds 0 to 10 (status n in kind n-1), any other in 11.
inline std::uint32_t failureKind(std::uint32_t status) {
    return status >= 1 && status <= kFailureKinds - 1 ? status - 1 : kFailureKinds - 1;
}

// A trace ring (kRingBytes): a head line, then kRingRecords records. Its thread writes records
// and moves `written`; a reader takes records up to `written` and moves `taken`. A record that
// finds the ring full is counted in `dropped` instead.
constexpr std::uint32_t kRings = 16;
constexpr std::uint32_t kRingRecords = 32;
constexpr std::uint32_t kTraceRecordBytes = 48;
constexpr std::uint32_t kRingBytes = 64 + kRingRecords * kTraceRecordBytes;
constexpr std::uint32_t kRingOffWritten = 0;
constexpr std::uint32_t kRingOffTaken = 4;
constexpr std::uint32_t kRingOffDropped = 8;
constexpr std::uint32_t kRingOffRecords = 64;
// A record's fields.
constexpr std::uint32_t kRecOffTime = 0;          // microseconds since 1970, 64-bit
constexpr std::uint32_t kRecOffThread = 8;        // the thread's token in the broker
constexpr std::uint32_t kRecOffHandle = 12;
constexpr std::uint32_t kRecOffSet = 16;
constexpr std::uint32_t kRecOffCode = 20;
constexpr std::uint32_t kRecOffStatus = 24;
constexpr std::uint32_t kRecOffRequestBytes = 28;
constexpr std::uint32_t kRecOffConfirmBytes = 32;
constexpr std::uint32_t kRecOffLatency = 36;      // microseconds in the broker and provider
constexpr std::uint32_t kRecOffKind = 40;         // 1 async, 2 sync
constexpr std::uint32_t kRecOffReserved = 44;

constexpr std::uint32_t kSlotsAt = kHeaderBytes;
constexpr std::uint32_t kProvidersAt = kSlotsAt + kSlots * kSlotBytes;
constexpr std::uint32_t kRingsAt = kProvidersAt + kProviders * kProviderBytes;
constexpr std::uint32_t kRegionBytes = kRingsAt + kRings * kRingBytes;
// 64 KiB for everything but the providers, and 256 bytes for each provider beyond that.
static_assert(kRegionBytes - kProviders * kProviderBytes <= 64 * 1024);
static_assert(kRegionBytes <= 64 * 1024 + 256 * kProviders);

} // namespace kov::observe
