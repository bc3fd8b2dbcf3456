// The one reclamation rule of the broker (docs/internals.md has the whole protocol):
//
// Every export enters a Guard first and leaves it last. While a thread is inside a guard, nothing
// it can reach (the published provider list, its records and libraries, the broker-confirm
// tracker, the thread's wait event) is freed or closed. Guards nest: a provider may call the
// broker from inside a call, and the outermost guard covers everything.
//
// Entering pins the current epoch in the thread's slot. Writers publish a new list whole, then
// advance the epoch; what the old list held is freed only once no thread pins that epoch or an
// earlier one. Readers never wait: entering and leaving are a few atomic operations, no lock.
#pragma once

#include "runtime/process.h"
#include "runtime/thread_slots.h"

#include <atomic>
#include <cstdint>

namespace kov::runtime {

namespace detail {
// Counts up from 1, skipping 0 ("not inside") and kPresentOnly when it wraps.
extern KOV_MODULE_GLOBAL std::atomic<std::uint32_t> epoch;
// The epoch of the oldest list still waiting to be freed; 0 when none waits.
extern KOV_MODULE_GLOBAL std::atomic<std::uint32_t> oldestRetired;
void refused(ThreadSlot* slot);
void askForFreeing(ThreadSlot* slot);
} // namespace detail

class Guard {
public:
    // Every export pays for this, so the common path is inline: a few instructions, one of them
    // a sequentially consistent store. Only the outermost guard of a thread pins; a nested one
    // (the slot pins already) only notes that it is nested.
    Guard() {
        ThreadSlot* const slot = currentSlot();
        ThreadSlot* pinned = nullptr;
        if (KOV_LIKELY(slot != nullptr && slot->epoch.load(std::memory_order_relaxed) == 0)) {
            // The pin is visible before this thread reads anything shared (both sides
            // sequentially consistent): a writer that replaced a list this thread may still read
            // scans after that and sees the pin, which is no later than the epoch the writer
            // retired the list in. The epoch may move on between the load and the store; a pin
            // that is too old only keeps more.
            slot->epoch.store(detail::epoch.load());
            // After the pin: a detach that began before it is seen here; one that begins after
            // it sees the pin and leaves everything in place.
            if (KOV_UNLIKELY(!attached())) {
                detail::refused(slot);
                slot_ = pinned_ = nullptr;
                return;
            }
            pinned = slot;
        }
        // Written once, at the end: the atomic operations above order memory for the compiler
        // too, and members written before them would be read back after them.
        slot_ = slot;
        pinned_ = pinned;
    }
    ~Guard() {
        // Held in a register: the member would be read again after each atomic operation.
        ThreadSlot* const slot = pinned_;
        if (KOV_UNLIKELY(slot == nullptr)) return;
        // Sequentially consistent, against a writer that notes what waits and then scans: either
        // its scan finds this pin gone, or this thread sees what waits and asks for the freeing.
        const std::uint32_t pinned = slot->epoch.exchange(0);
        const std::uint32_t oldest = detail::oldestRetired.load();
        if (KOV_UNLIKELY(oldest != 0) && epochAtOrBefore(pinned, oldest))
            detail::askForFreeing(slot);
        // Last: a slot taken for one call of an ending thread goes back now.
        if (KOV_UNLIKELY(slot->transient != 0)) detail::handBackTransient(slot);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    // False when the module is detached (or detaching) or the thread could get no slot: the
    // caller must then touch nothing of the broker's.
    explicit operator bool() const { return slot_ != nullptr; }
    ThreadSlot* slot() const { return slot_; }

private:
    ThreadSlot* slot_;
    ThreadSlot* pinned_; // the slot when this guard is a thread's outermost; null when nested
};

// True while the calling thread is inside a guard (for assertions).
bool insideGuard();

// ---- for writers, under BrokerLock
// Moves to the next epoch: everything unpublished before it can be freed once no guard pins it
// or an earlier one. Returns the epoch that ended.
std::uint32_t advanceEpoch();
// The epoch of the oldest list waiting to be freed (0: none). Noted before every scan for pins:
// a guard that pinned that epoch or an earlier one then asks for the freeing when it leaves.
void noteRetired(std::uint32_t oldest);
// The routine such a guard calls as it leaves (still visible to a detach, pinning nothing); it
// must never wait.
void onGuardLeft(void (*freeDue)());

} // namespace kov::runtime
