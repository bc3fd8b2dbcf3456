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
std::uint32_t currentEpoch();
// Moves to the next epoch: everything unpublished before it can be freed once no guard pins it
// or an earlier one. Returns the epoch that ended.
std::uint32_t advanceEpoch();
// Whether freeing is still due for something retired in `oldest` (or later); a guard that pinned
// `oldest` or earlier tries to free it when it leaves.
void noteRetired(bool pending, std::uint32_t oldest);
// The routine that frees what is due, tried (without waiting) by the last guard of an epoch to
// leave. It gets that guard's slot, whose pin no longer counts.
void onGuardLeft(void (*freeDue)(const ThreadSlot* leaving));

} // namespace kov::runtime
