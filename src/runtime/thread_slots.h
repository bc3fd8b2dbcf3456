// Per-thread slots: each thread that calls the broker owns one cache-line-aligned block that only
// it writes: its guard (the epoch it pins while inside an export, see guard.h) and its shares of
// the usage counters. A slot belongs to its thread from the thread's first call until the thread
// ends; the thread knows its slot by its own token, never by a cached pointer alone, so a thread
// that calls in again after its slot went back (from a thread-exit hook that runs after ours)
// takes a slot anew instead of sharing one. Slots are never freed: a thread can always touch the
// slot it holds, even while the module detaches under it.
#pragma once

#include <atomic>
#include <cstdint>

namespace kov::runtime {

constexpr unsigned kThreadCounters = 6;
constexpr unsigned kThreadByteCounters = 3; // allocated, in use, freed

struct alignas(64) ThreadSlot {
    std::atomic<std::uint32_t> owner; // the owning thread's token; 0 while free
    // The epoch pinned by the outermost guard; 0 outside every export. Read by writers (what may
    // be freed) and by the detach (who is inside).
    std::atomic<std::uint32_t> epoch;
    std::uint32_t depth; // guard nesting; only the owner touches it
    void* waitEvent;     // the thread's synchronous-send event, made on first use
    ThreadSlot* nextSlot; // written once, before the slot is published
    // The second line: this thread's shares of the usage statistics. The 32-bit ones wrap as the
    // statistics do, so their sum over all slots is the process-wide value modulo 2^32 (a
    // thread's bytesInUse share goes "negative" when it frees blocks others allocated).
    alignas(64) std::atomic<std::uint64_t> counters[kThreadCounters];
    std::atomic<std::uint32_t> bytes[kThreadByteCounters];
    std::atomic<std::uint32_t> syncWaiting;
};

// The calling thread's token: nonzero, and never given to another thread of the process.
std::uint32_t threadToken();

// The calling thread's slot, claimed on its first use; null when none can be had (no memory) and
// between a detach and the next attach. Makes no system call once the thread has its slot.
ThreadSlot* currentSlot();

// True while any thread is inside a guard.
bool anyInside();
// True while a thread pins `epoch` or an earlier one (kPresentOnly pins nothing).
bool pinnedAtOrBefore(std::uint32_t epoch);

// Sum of one counter over every slot, including those of threads that have ended.
std::uint64_t sumCounter(unsigned counter);
std::uint32_t sumByteCounter(unsigned counter);
std::uint32_t sumSyncWaiting();

// Attach: every slot free and zeroed, and the thread key that hands a slot back when its thread
// ends. Detach (nobody inside): the key goes, the threads' events are closed; slots stay for the
// next attach.
void startThreadSlots();
void stopThreadSlots();

// A slot's epoch while its thread is inside but keeps nothing alive (it is leaving): the detach
// sees it, writers do not wait for it. Never an epoch.
constexpr std::uint32_t kPresentOnly = 0xFFFFFFFFu;

// Wrap-aware order of epochs (they count up modulo 2^32 and skip 0).
inline bool epochAtOrBefore(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) <= 0;
}

} // namespace kov::runtime
