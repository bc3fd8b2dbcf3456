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
constexpr unsigned kThreadByteCounters = 3; // allocated, in use, freed

struct alignas(64) ThreadSlot {
    std::atomic<const void*> pins[kPinsPerThread];
    // Nesting deeper than kPinsPerThread pins everything instead (nothing is freed meanwhile).
    std::atomic<std::uint32_t> pinAll;
    // The list snapshot the thread last read; kept between sends so a send need not write it.
    std::atomic<const void*> snapshotPin;
    std::atomic<std::uint32_t> owned; // 1 while a live thread holds the slot
    // The second line: this thread's shares of the usage statistics. The 32-bit ones wrap as
    // the statistics do, so their sum over all slots is the process-wide value modulo 2^32 (a
    // thread's bytesInUse share goes "negative" when it frees blocks others allocated).
    std::atomic<std::uint64_t> counters[kThreadCounters];
    std::atomic<std::uint32_t> bytes[kThreadByteCounters];
    std::atomic<std::uint32_t> syncWaiting;
    void* waitEvent; // the thread's synchronous-send event, made on first use
    ThreadSlot* nextSlot; // written once, before the slot is published
};

// The calling thread's slot, claimed on its first use; null when none can be had (no memory) and
// between a detach and the next attach. Makes no system call once the thread has its slot.
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
std::uint32_t sumByteCounter(unsigned counter);
std::uint32_t sumSyncWaiting();
void resetCounters();

// Attach: a fresh generation of slots (cached pointers of an earlier attach are not used again)
// and the thread key that hands a slot back when its thread ends. Detach: the key goes and the
// heap slots are freed, unless a send still runs (then they stay, for the exiting process).
bool startThreadSlots();
void stopThreadSlots();

} // namespace kov::runtime
