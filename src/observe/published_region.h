// The region this process publishes for kovctl (layout: region_layout.h). The thread slots and
// the providers' counters live in it, so they are written where a reader finds them: no copy,
// no system call per request. When no region can be published the same layout lives in the
// module's own memory and everything counts as before, unseen from outside.
//
// Its memory, once mapped, stays mapped for as long as the module is loaded: a thread may hold
// its slot across a detach. Only the name goes at detach.
#pragma once

#include "observe/region_layout.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>

namespace kov::observe {

namespace detail {
extern KOV_MODULE_GLOBAL unsigned char* regionMemory;
}

// Never null: the mapped region, or the module's own block before one is.
inline unsigned char* regionMemory() { return detail::regionMemory; }

// Attach, before the thread slots start: publishes the region (the first attach maps it, a
// later one names it again where the system allows) and writes its header. Tracing starts on
// when KOV_BROKER_TRACE is 1. A region that cannot be published costs nothing but its view.
void publishRegion();
// Detach: the name goes, the memory stays.
void withdrawRegion();
// True while the region is published under its name.
bool regionPublished();

// The run state (region_layout.h); every request reads it in place of a flag of its own.
inline std::uint32_t runState() {
    return __atomic_load_n(reinterpret_cast<const std::uint32_t*>(detail::regionMemory + kOffRunState),
                           __ATOMIC_ACQUIRE);
}
// The test every request makes: one compare with the word in memory (an atomic load would take
// a load and a compare). x86 loads are ordered as acquire loads anyway, and what the request
// reads next (the published provider list) it reads with an atomic load of its own.
inline bool straightPath() {
    bool other;
    asm("cmpl %2, %1"
        : "=@ccne"(other)
        : "m"(*reinterpret_cast<const std::uint32_t*>(detail::regionMemory + kOffRunState)),
          "i"(kProvidersLoaded));
    return KOV_LIKELY(!other);
}
// The providers are loaded: requests may take the straight path (unless traced).
void noteProvidersLoaded();

// A traced request: its header as it came in and when.
struct TracedCall {
    std::uint64_t start;
    std::uint32_t handle, set, code, requestBytes, kind; // kind: 1 async, 2 sync
};
TracedCall beginTrace(const void* request, std::uint32_t kind);
// Writes the record into the ring of the thread's slot (`slot`, the thread's token `thread`),
// or counts it dropped when that ring is full or the slot has none.
void endTrace(const void* slot, std::uint32_t thread, const TracedCall& call, std::uint32_t status,
              std::uint32_t confirmBytes);

// A provider's block: identity and counters. Under BrokerLock. Never null: past the region's
// blocks a provider counts into a block of the heap (seen only in the process totals), and
// without memory into a block shared by all such providers.
unsigned char* claimProviderBlock(std::uint32_t handle, const char* name, std::uint32_t sets);
void releaseProviderBlock(unsigned char* block);

// Adds 1 (or `amount`) to a 32-bit counter several threads may write.
inline void countShared(unsigned char* at, std::uint32_t amount = 1) {
    __atomic_fetch_add(reinterpret_cast<std::uint32_t*>(at), amount, __ATOMIC_RELAXED);
}

// A request that failed with `status` (nonzero), counted in its provider's block.
void countFailure(unsigned char* providerBlock, unsigned char* shard, std::uint32_t status);

} // namespace kov::observe
