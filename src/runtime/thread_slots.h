// Per-thread slots: each thread that calls the broker owns one cache-line-aligned block that only
// it writes: its guard (the epoch it pins while inside an export, see guard.h) and its shares of
// the usage counters. A slot belongs to its thread from the thread's first call until the thread
// ends; the thread knows its slot by its own token, never by a cached pointer alone, so a thread
// that calls in again after its slot went back (from a thread-exit hook that runs after ours)
// takes a slot anew instead of sharing one, for that call only. Slots are never freed: a thread
// can always touch the slot it holds, even while the module detaches under it.
//
// Claiming a slot and giving it back follow the guard's rule (docs/internals.md): the thread is
// present in the slot (kPresentOnly) while it arms the thread key or releases the slot's event
// and blocks, and does so only while the module is attached; a detach that begins meanwhile sees
// it and leaves everything in place. model/thread_life.pml checks this.
#pragma once

#include "observe/region_layout.h"
#include "platform/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kov::runtime {

constexpr unsigned kThreadCounters = 5;
constexpr unsigned kPoolSlots = 128; // slots in the module's storage; more come from the heap
constexpr unsigned kCachedBlocks = 8;
constexpr unsigned kThreadByteCounters = 3;
constexpr unsigned kBytesAllocated = 0, kBytesInUse = 1, kBytesFreed = 2;

// A usage counter that only its thread adds to and any thread reads: high * 2^31 + low. Adding
// is one add to memory; when low reaches 2^31 its top bit moves into high under the slot's
// sequence number. Until then low simply holds 2^31, which still reads right, so a reader never
// sees a torn value.
struct OwnCounter {
    std::atomic<std::uint32_t> low;
    std::atomic<std::uint32_t> high;
};
constexpr std::uint32_t kCarryBit = 0x80000000u;

struct alignas(64) ThreadSlot {
    std::atomic<std::uint32_t> owner; // the owning thread's token; 0 while free
    // The epoch pinned by the outermost guard; 0 outside every export. Read by writers (what may
    // be freed) and by the detach (who is inside); nonzero tells a guard that it is nested.
    std::atomic<std::uint32_t> epoch;
    void* waitEvent;     // the thread's synchronous-send event, made on first use
    // The synchronous-call entry only this slot's thread takes (1 to kPoolSlots; 0: none, it
    // takes shared ones).
    std::uint32_t ownWaitEntry;
    // Claimed by a thread whose slot already went back as it ended (a call from a later
    // thread-exit hook): given back again as its outermost guard leaves, since no hook of the
    // thread may run after this call.
    std::uint32_t transient;
    // Blocks this thread gave back, kept for its next allocations of the same size (only the
    // owner touches them; the detach and the thread's end give them back to the system).
    void* cachedBlocks[kCachedBlocks];
    std::uint32_t cachedCount;
    ThreadSlot* nextSlot; // written once, before the slot is published
    // Where this thread counts in a provider's block: the shard its slot names, so that two
    // threads sending to one provider write different lines (observe/region_layout.h).
    std::uint32_t shardOffset;
    // The second line: this thread's shares of the usage statistics. The 32-bit ones wrap as the
    // statistics do, so their sum over all slots is the process-wide value modulo 2^32 (a
    // thread's bytesInUse share goes "negative" when it frees blocks others allocated).
    alignas(64) OwnCounter counters[kThreadCounters];
    std::atomic<std::uint32_t> carrying; // odd while a carry is being written
    std::atomic<std::uint32_t> bytes[kThreadByteCounters];
};
// The pool lives in the published region, whose readers take these offsets as fixed.
static_assert(sizeof(ThreadSlot) == observe::kSlotBytes);
static_assert(offsetof(ThreadSlot, owner) == observe::kSlotOffOwner);
static_assert(offsetof(ThreadSlot, counters) == observe::kSlotOffCounters);
static_assert(offsetof(ThreadSlot, carrying) == observe::kSlotOffCarrying);
static_assert(offsetof(ThreadSlot, bytes) == observe::kSlotOffBytes);
static_assert(kThreadCounters == observe::kSlotCounters && kPoolSlots == observe::kSlots);

namespace detail {
void carry(ThreadSlot* slot, unsigned counter);
} // namespace detail

// Adds 1 to counter `counter` of the calling thread's own slot: one add to memory and a jump on
// its sign, where loading, adding, testing and storing would take four instructions on the path
// every request takes. No lock prefix: only this thread writes the word. By index, so that the
// common path computes no address for the rare carry.
inline void bump(ThreadSlot* slot, unsigned counter) {
    auto& low = *reinterpret_cast<std::uint32_t*>(&slot->counters[counter].low);
    asm goto("addl $1, %0\n\tjs %l[carry]" : "+m"(low) : : "cc" : carry);
    return;
carry:
    detail::carry(slot, counter);
}

// A counter of any slot, read whole.
std::uint64_t read(const ThreadSlot& slot, const OwnCounter& counter);

namespace detail {
// The thread's slot and token, one thread-local so that a call finds both through one offset.
// Trivially destructible on purpose: a thread_local with a destructor keeps the loader from
// really unloading the module.
struct ThreadIdentity {
    ThreadSlot* slot;
    std::uint32_t token;
    bool ended; // the thread-exit hook gave the thread's slot back: the thread is ending
};
extern KOV_FAST_THREAD_LOCAL ThreadIdentity identity;
std::uint32_t newToken();
ThreadSlot* claimCurrentSlot();
// A transient slot, as its outermost guard leaves.
void handBackTransient(ThreadSlot* slot);
} // namespace detail

// The calling thread's token: nonzero, and never given to another thread of the process.
inline std::uint32_t threadToken() {
    const std::uint32_t token = detail::identity.token;
    return token != 0 ? token : detail::newToken();
}

// The calling thread's slot, claimed on its first use; null when none can be had (no memory) and
// between a detach and the next attach. Makes no system call once the thread has its slot. Only
// this thread makes its own slot free again, so a match of the owner word cannot go stale.
inline ThreadSlot* currentSlot() {
    ThreadSlot* const cached = detail::identity.slot;
    if (KOV_LIKELY(cached != nullptr &&
                   cached->owner.load(std::memory_order_relaxed) == detail::identity.token))
        return cached;
    return detail::claimCurrentSlot();
}

// True while any thread is inside a guard.
bool anyInside();
// True while a thread pins `epoch` or an earlier one (kPresentOnly pins nothing).
bool pinnedAtOrBefore(std::uint32_t epoch);

// Sum of one counter over every slot, including those of threads that have ended.
std::uint64_t sumCounter(unsigned counter);
std::uint32_t sumByteCounter(unsigned counter);

// Attach: every slot free and zeroed, and the thread key that hands a slot back when its thread
// ends. Detach (nobody inside): the key goes, the threads' events are closed; slots stay for the
// next attach.
void startThreadSlots();
void stopThreadSlots();
// The routine that ends the synchronous calls waiting on a thread's event, for a thread that
// ended inside a call without leaving it (set by the synchronous calls at attach).
void onAbandonedCalls(void (*endCalls)(platform::EventHandle event));

// A slot's epoch while its thread is inside but keeps nothing alive (it is leaving): the detach
// sees it, writers do not wait for it. Never an epoch.
constexpr std::uint32_t kPresentOnly = 0xFFFFFFFFu;

// Wrap-aware order of epochs (they count up modulo 2^32 and skip 0).
inline bool epochAtOrBefore(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) <= 0;
}

} // namespace kov::runtime
