#include "observe/region_reader.h"

#include <atomic>
#include <cstring>

namespace kov::observe {
namespace {

std::uint32_t get32(const unsigned char* at) {
    std::uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}
std::uint64_t get64(const unsigned char* at) {
    return get32(at) | std::uint64_t{get32(at + 4)} << 32;
}

// A string field must end inside its room.
bool textField(const unsigned char* at, std::uint32_t room, std::string& out) {
    const void* end = std::memchr(at, '\0', room);
    if (end == nullptr) return false;
    out.assign(reinterpret_cast<const char*>(at), static_cast<const unsigned char*>(end) - at);
    return true;
}

struct Table {
    const char* name;
    std::uint32_t atField, countField, bytesField;
    std::uint32_t at, count, bytes; // what this layout version has
};

const Table kTables[] = {
    {"thread slots", kOffSlotsAt, kOffSlotCount, kOffSlotBytes, kSlotsAt, kSlots, kSlotBytes},
    {"providers", kOffProvidersAt, kOffProviderCount, kOffProviderBytes, kProvidersAt, kProviders,
     kProviderBytes},
    {"trace rings", kOffRingsAt, kOffRingCount, kOffRingBytes, kRingsAt, kRings, kRingBytes},
};

// The header as this version writes it, each table inside the region: anything else is
// reported, never followed.
bool checkHeader(const unsigned char* bytes, std::size_t size, std::string& problem) {
    if (size < kHeaderBytes) return problem = "shorter than its header", false;
    if (std::memcmp(bytes + kOffMagic, kRegionMagic, sizeof kRegionMagic) != 0)
        return problem = "no region of the broker's (wrong magic)", false;
    if (get32(bytes + kOffVersion) != kLayoutVersion)
        return problem = "layout version " + std::to_string(get32(bytes + kOffVersion)) +
                         " (this kovctl reads version " + std::to_string(kLayoutVersion) + ")",
               false;
    if (get32(bytes + kOffHeaderBytes) != kHeaderBytes) return problem = "wrong header length", false;
    const std::uint32_t regionBytes = get32(bytes + kOffRegionBytes);
    if (regionBytes != kRegionBytes || regionBytes > size)
        return problem = "region length " + std::to_string(regionBytes) + " does not match its " +
                         std::to_string(size) + " bytes",
               false;
    for (const Table& table : kTables) {
        const std::uint32_t at = get32(bytes + table.atField);
        const std::uint32_t count = get32(bytes + table.countField);
        const std::uint32_t each = get32(bytes + table.bytesField);
        const std::uint64_t end = std::uint64_t{at} + std::uint64_t{count} * each;
        if (at != table.at || count != table.count || each != table.bytes || end > regionBytes)
            return problem = std::string(table.name) + " lie outside the layout", false;
    }
    if (get32(bytes + kOffTraceRecordBytes) != kTraceRecordBytes)
        return problem = "wrong trace record length", false;
    return true;
}

// A counter of a slot another process writes (high * 2^31 + low), trusted between two equal,
// even carry sequences; a read that keeps failing takes what it last saw.
std::uint64_t slotCounter(const unsigned char* slot, std::uint32_t index) {
    const unsigned char* const counter = slot + kSlotOffCounters + index * 8;
    const auto whole = [counter] { return (std::uint64_t{get32(counter + 4)} << 31) + get32(counter); };
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::uint32_t before = get32(slot + kSlotOffCarrying);
        const std::uint64_t value = whole();
        if (before % 2 == 0 && get32(slot + kSlotOffCarrying) == before) return value;
    }
    return whole();
}

} // namespace

bool readRegion(const unsigned char* bytes, std::size_t size, RegionCounts& counts,
                std::string& problem) {
    counts = RegionCounts{};
    if (!checkHeader(bytes, size, problem)) return false;
    if (!textField(bytes + kOffStartToken, kStartTokenBytes, counts.startToken) ||
        !textField(bytes + kOffProgram, kProgramBytes, counts.program))
        return problem = "a text field of the header is not terminated", false;
    counts.pid = get32(bytes + kOffPid);
    counts.startedAt = get64(bytes + kOffStartedAt);
    counts.traceOn = (get32(bytes + kOffRunState) & kTracing) != 0;
    for (std::uint32_t i = 0; i < kSlots; ++i) {
        const unsigned char* const slot = bytes + kSlotsAt + i * kSlotBytes;
        if (get32(slot + kSlotOffOwner) != 0) ++counts.threads;
        counts.asyncCalls += slotCounter(slot, 0);
        counts.asyncDelivered += slotCounter(slot, 1);
        counts.asyncFailed += slotCounter(slot, 2);
        counts.syncCalls += slotCounter(slot, 3);
        counts.syncFailed += slotCounter(slot, 4);
        counts.bytesAllocated += get32(slot + kSlotOffBytes);
        counts.bytesInUse += get32(slot + kSlotOffBytes + 4);
        counts.bytesFreed += get32(slot + kSlotOffBytes + 8);
    }
    for (std::uint32_t i = 0; i < kProviders; ++i) {
        const unsigned char* const block = bytes + kProvidersAt + i * kProviderBytes;
        const std::uint32_t state = get32(block + kProvOffState);
        if (state == 0) continue;
        if (state != 1) return problem = "provider block " + std::to_string(i) + " in no known state", false;
        ProviderCounts provider;
        if (!textField(block + kProvOffName, kNameBytes, provider.name))
            return problem = "the name of provider block " + std::to_string(i) + " is not terminated",
                   false;
        provider.handle = get32(block + kProvOffHandle);
        provider.sets = get32(block + kProvOffSets);
        for (std::uint32_t shard = 0; shard < kShards; ++shard)
            for (std::uint32_t c = 0; c < kShardCounters; ++c)
                provider.counts[c] += get32(block + kProvOffShards + shard * kShardBytes + c * 4);
        for (std::uint32_t k = 0; k < kFailureKinds; ++k)
            provider.failures[k] = get32(block + kProvOffFailures + k * 4);
        counts.providers.push_back(provider);
    }
    return true;
}

std::vector<TraceRecord> takeTraceRecords(unsigned char* region, std::size_t limit,
                                          std::uint64_t& dropped) {
    std::vector<TraceRecord> records;
    dropped = 0;
    for (std::uint32_t r = 0; r < kRings; ++r) {
        unsigned char* const ring = region + kRingsAt + r * kRingBytes;
        auto* const written = reinterpret_cast<std::atomic<std::uint32_t>*>(ring + kRingOffWritten);
        auto* const taken = reinterpret_cast<std::atomic<std::uint32_t>*>(ring + kRingOffTaken);
        auto* const lost = reinterpret_cast<std::atomic<std::uint32_t>*>(ring + kRingOffDropped);
        dropped += lost->exchange(0);
        const std::uint32_t end = written->load(std::memory_order_acquire);
        std::uint32_t next = taken->load(std::memory_order_relaxed);
        // A writer never runs more than a ring ahead; anything else is a damaged ring: skip it.
        if (end - next > kRingRecords) next = end;
        for (; next != end && records.size() < limit; ++next) {
            const unsigned char* const at =
                ring + kRingOffRecords + (next % kRingRecords) * kTraceRecordBytes;
            TraceRecord record;
            record.time = get64(at + kRecOffTime);
            record.thread = get32(at + kRecOffThread);
            record.handle = get32(at + kRecOffHandle);
            record.set = get32(at + kRecOffSet);
            record.code = get32(at + kRecOffCode);
            record.status = get32(at + kRecOffStatus);
            record.requestBytes = get32(at + kRecOffRequestBytes);
            record.confirmBytes = get32(at + kRecOffConfirmBytes);
            record.latency = get32(at + kRecOffLatency);
            record.kind = get32(at + kRecOffKind);
            records.push_back(record);
        }
        taken->store(next, std::memory_order_release);
    }
    return records;
}

void setTracing(unsigned char* region, bool on) {
    auto* const state = reinterpret_cast<std::atomic<std::uint32_t>*>(region + kOffRunState);
    if (on)
        state->fetch_or(kTracing);
    else
        state->fetch_and(~kTracing);
}

} // namespace kov::observe
