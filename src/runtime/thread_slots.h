// Per-thread slots: each thread that sends owns one cache-line-aligned block that only it writes.
// It holds the thread's usage counters and the pins that keep what its running sends use alive
// (hazard pointers): a writer that unlinks something frees it only once no slot pins it, and a
// reader never writes a line another thread writes.
#pragma once

#include <atomic>
#include <cstdint>

namespace kov::runtime {

constexpr unsigned kPinsPerThread = 13;
constexpr unsigned kThreadCounters = 6;

struct alignas(64) ThreadSlot {
    std::atomic<const void*> pins[kPinsPerThread];
    // Nesting deeper than kPinsPerThread pins everything instead (nothing is freed meanwhile).
    std::atomic<std::uint32_t> pinAll;
    // The list snapshot the thread last read; kept between sends so a send need not write it.
    std::atomic<const void*> snapshotPin;
    std::atomic<std::uint32_t> owned; // 1 while a live thread holds the slot
    std::atomic<std::uint64_t> counters[kThreadCounters];
    std::atomic<std::int32_t> syncWaiting; // this thread's share of the statistic
    void* waitEvent; // the thread's synchronous-send event, made on first use
    ThreadSlot* nextSlot; // written once, before the slot is published
};

// The calling thread's slot, claimed on its first use; null only when none can be had (no
// memory). Makes no system call once the thread has its slot.
ThreadSlot* currentSlot();

// Pins `object` in `slot` and returns the pin's index; kPinsPerThread when pinAll was used.
unsigned pin(ThreadSlot* slot, const void* object);
void unpin(ThreadSlot* slot, unsigned index);
// True while any slot pins `object` (or everything). Callers hold BrokerLock.
bool isPinned(const void* object);
// True while any slot pins anything but its snapshot: a send is running somewhere.
bool anyPinned();
// With no send running: no thread keeps its last snapshot.
void dropSnapshotPins();

// Sum of one counter over every slot, including those of threads that have ended.
std::uint64_t sumCounter(unsigned counter);
std::int32_t sumSyncWaiting();
void resetCounters();

// Attach: a fresh generation of slots (cached pointers of an earlier attach are not used again)
// and the thread key that hands a slot back when its thread ends. Detach: the key goes and the
// heap slots are freed, unless a send still runs (then they stay, for the exiting process).
bool startThreadSlots();
void stopThreadSlots();

} // namespace kov::runtime
