#include "observe/published_region.h"

#include <kov/kov_broker.h>

#include <cstring>
#include <ctime>
#include <new>
#include <string>

namespace kov::observe {
namespace {

// The layout in the module's own memory, until a region is mapped (and for good when none can be).
alignas(64) unsigned char ownBlock[kRegionBytes];
// A block for providers past the region's and without memory for one of their own.
alignas(64) unsigned char sharedProviderBlock[kProviderBytes];
// Made at first use and never destroyed: the module's constructor attaches before static
// objects are built, and its destructor detaches after they are gone.
platform::MappedRegion& mappedRegion() {
    alignas(platform::MappedRegion) static unsigned char storage[sizeof(platform::MappedRegion)];
    static platform::MappedRegion* const region = new (storage) platform::MappedRegion{};
    return *region;
}

void put32(unsigned char* at, std::uint32_t value) { std::memcpy(at, &value, 4); }
void put64(unsigned char* at, std::uint64_t value) {
    put32(at, static_cast<std::uint32_t>(value));
    put32(at + 4, static_cast<std::uint32_t>(value >> 32));
}
void putText(unsigned char* at, std::uint32_t room, const std::string& text) {
    const std::size_t length = text.size() < room - 1 ? text.size() : room - 1;
    std::memset(at, 0, room);
    std::memcpy(at, text.data(), length);
}

std::atomic<std::uint32_t>& word(std::uint32_t offset) {
    return *reinterpret_cast<std::atomic<std::uint32_t>*>(detail::regionMemory + offset);
}

// Everything but the magic, which goes last: a reader that finds it finds the rest written.
void writeHeader(unsigned char* base) {
    std::memset(base, 0, kHeaderBytes);
    put32(base + kOffVersion, kLayoutVersion);
    put32(base + kOffHeaderBytes, kHeaderBytes);
    put32(base + kOffRegionBytes, kRegionBytes);
    put32(base + kOffPid, platform::currentProcessId());
    put32(base + kOffSlotsAt, kSlotsAt);
    put32(base + kOffSlotCount, kSlots);
    put32(base + kOffSlotBytes, kSlotBytes);
    put32(base + kOffProvidersAt, kProvidersAt);
    put32(base + kOffProviderCount, kProviders);
    put32(base + kOffProviderBytes, kProviderBytes);
    put32(base + kOffRingsAt, kRingsAt);
    put32(base + kOffRingCount, kRings);
    put32(base + kOffRingBytes, kRingBytes);
    put32(base + kOffTraceRecordBytes, kTraceRecordBytes);
    put32(base + kOffRunState, platform::environmentValue("KOV_BROKER_TRACE") == "1" ? kTracing : 0);
    put64(base + kOffStartedAt, static_cast<std::uint64_t>(std::time(nullptr)));
    putText(base + kOffStartToken, kStartTokenBytes, platform::processStartToken());
    putText(base + kOffProgram, kProgramBytes, platform::programPath());
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(base + kOffMagic, kRegionMagic, sizeof kRegionMagic);
}

bool inBlocksOf(const unsigned char* base, const unsigned char* block) {
    if (base == nullptr) return false;
    const unsigned char* const first = base + kProvidersAt;
    return block >= first && block < first + kProviders * kProviderBytes;
}

// The module's own block too: records claimed there before a region was mapped.
bool inRegion(const unsigned char* block) {
    return inBlocksOf(ownBlock, block) || inBlocksOf(mappedRegion().memory, block);
}

} // namespace

namespace detail {
unsigned char* regionMemory = ownBlock;
}

void publishRegion() {
    platform::MappedRegion& region = mappedRegion();
    if (region.memory == nullptr) {
        if (platform::createOwnRegion(kRegionBytes, region)) detail::regionMemory = region.memory;
    } else {
        platform::renameOwnRegion(region);
    }
    // The slots and providers are cleared as they start; the rings here.
    std::memset(detail::regionMemory + kRingsAt, 0, kRings * kRingBytes);
    for (std::uint32_t i = 0; i < kProviders; ++i)
        std::memset(detail::regionMemory + kProvidersAt + i * kProviderBytes, 0, kProviderBytes);
    writeHeader(detail::regionMemory);
}

void withdrawRegion() { platform::withdrawOwnRegion(mappedRegion()); }

bool regionPublished() {
    const platform::MappedRegion& region = mappedRegion();
    return region.memory != nullptr && (!region.name.empty() || region.handle != nullptr);
}

void noteProvidersLoaded() { word(kOffRunState).fetch_or(kProvidersLoaded); }

TracedCall beginTrace(const void* message, std::uint32_t kind) {
    const auto* request = static_cast<const BrokerMessage*>(message);
    return {platform::microsecondsNow(), request->provider, request->functionSet,
            request->functionCode, request->totalLength, kind};
}

// The ring's own thread writes records and `written`; the reader moves `taken`. A record is
// written whole before `written` passes it.
void endTrace(const void* slot, std::uint32_t thread, const TracedCall& call, std::uint32_t status,
              std::uint32_t confirmBytes) {
    const std::uint64_t now = platform::microsecondsNow();
    const auto* at = static_cast<const unsigned char*>(slot);
    const unsigned char* const slots = detail::regionMemory + kSlotsAt;
    const std::uintptr_t index = static_cast<std::uintptr_t>(at - slots) / kSlotBytes;
    if (at < slots || index >= kRings) {
        word(kOffTraceUnringed).fetch_add(1, std::memory_order_relaxed);
        return;
    }
    unsigned char* const ring = detail::regionMemory + kRingsAt + index * kRingBytes;
    auto& written = *reinterpret_cast<std::atomic<std::uint32_t>*>(ring + kRingOffWritten);
    auto& taken = *reinterpret_cast<std::atomic<std::uint32_t>*>(ring + kRingOffTaken);
    const std::uint32_t next = written.load(std::memory_order_relaxed);
    if (next - taken.load(std::memory_order_acquire) >= kRingRecords) {
        reinterpret_cast<std::atomic<std::uint32_t>*>(ring + kRingOffDropped)->fetch_add(1);
        return;
    }
    unsigned char* const record = ring + kRingOffRecords + (next % kRingRecords) * kTraceRecordBytes;
    put64(record + kRecOffTime, call.start);
    put32(record + kRecOffThread, thread);
    put32(record + kRecOffHandle, call.handle);
    put32(record + kRecOffSet, call.set);
    put32(record + kRecOffCode, call.code);
    put32(record + kRecOffStatus, status);
    put32(record + kRecOffRequestBytes, call.requestBytes);
    put32(record + kRecOffConfirmBytes, confirmBytes);
    put32(record + kRecOffLatency, static_cast<std::uint32_t>(now - call.start));
    put32(record + kRecOffKind, call.kind);
    put32(record + kRecOffReserved, 0);
    written.store(next + 1, std::memory_order_release);
}

unsigned char* claimProviderBlock(std::uint32_t handle, const char* name, std::uint32_t sets) {
    unsigned char* block = nullptr;
    for (std::uint32_t i = 0; i < kProviders && block == nullptr; ++i) {
        unsigned char* const candidate = detail::regionMemory + kProvidersAt + i * kProviderBytes;
        std::uint32_t expected = 0;
        if (__atomic_compare_exchange_n(reinterpret_cast<std::uint32_t*>(candidate + kProvOffState),
                                        &expected, 1u, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
            block = candidate;
    }
    if (block == nullptr) {
        block = static_cast<unsigned char*>(
            ::operator new(kProviderBytes, std::align_val_t{64}, std::nothrow));
        if (block == nullptr) return sharedProviderBlock;
        put32(block + kProvOffState, 1);
    }
    std::memset(block + 4, 0, kProviderBytes - 4);
    put32(block + kProvOffHandle, handle);
    put32(block + kProvOffSets, sets);
    putText(block + kProvOffName, kNameBytes, *name != '\0' ? name : "broker");
    return block;
}

void releaseProviderBlock(unsigned char* block) {
    if (block == nullptr || block == sharedProviderBlock) return;
    if (!inRegion(block)) {
        ::operator delete(block, std::align_val_t{64});
        return;
    }
    __atomic_store_n(reinterpret_cast<std::uint32_t*>(block + kProvOffState), 0u, __ATOMIC_RELEASE);
}

void countFailure(unsigned char* providerBlock, unsigned char* shard, std::uint32_t status) {
    countShared(shard + kFailed * 4);
    countShared(providerBlock + kProvOffFailures + failureKind(status) * 4);
}

} // namespace kov::observe
