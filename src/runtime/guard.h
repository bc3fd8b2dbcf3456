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

#include "runtime/thread_slots.h"

#include <cstdint>

namespace kov::runtime {

class Guard {
public:
    Guard();
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    // False when the module is detached (or detaching) or the thread could get no slot: the
    // caller must then touch nothing of the broker's.
    explicit operator bool() const { return slot_ != nullptr; }
    ThreadSlot* slot() const { return slot_; }

private:
    ThreadSlot* slot_;
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
