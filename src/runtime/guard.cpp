#include "runtime/guard.h"

#include "runtime/process.h"

#include <atomic>

namespace kov::runtime {
namespace {

// Counts up from 1, skipping 0 ("not inside") and kPresentOnly when it wraps.
std::atomic<std::uint32_t> epoch{1};
// The epoch of the oldest list still waiting to be freed; 0 when none waits.
std::atomic<std::uint32_t> oldestRetired{0};
std::atomic<void (*)()> freeDueHook{nullptr};

} // namespace

Guard::Guard() : slot_(currentSlot()) {
    if (slot_ == nullptr || slot_->depth++ != 0) return;
    // The pin is visible before this thread reads anything shared (both sides sequentially
    // consistent): a writer that replaced a list this thread may still read scans after that
    // and sees the pin, which is no later than the epoch the writer retired the list in. The
    // epoch may move on between the load and the store; a pin that is too old only keeps more.
    slot_->epoch.store(epoch.load());
    // After the pin: a detach that began before it is seen here; one that begins after it sees
    // the pin and leaves everything in place.
    if (!attached()) {
        slot_->epoch.store(0, std::memory_order_release);
        slot_->depth = 0;
        slot_ = nullptr;
    }
}

Guard::~Guard() {
    if (slot_ == nullptr || --slot_->depth != 0) return;
    const std::uint32_t pinned = slot_->epoch.load(std::memory_order_relaxed);
    // Sequentially consistent, against a writer that notes what waits and then scans: either
    // its scan finds this pin gone, or this thread sees what waits and asks for the freeing.
    slot_->epoch.store(0);
    const std::uint32_t oldest = oldestRetired.load();
    if (oldest == 0 || !epochAtOrBefore(pinned, oldest)) return;
    // This guard may have kept a list from being freed: ask for it, present again (a detach must
    // see this thread) but pinning nothing.
    slot_->epoch.store(kPresentOnly);
    if (attached()) {
        if (auto hook = freeDueHook.load(std::memory_order_relaxed)) {
            ++slot_->depth; // sends made while freeing (a library's finaliser) nest inside
            hook();
            --slot_->depth;
        }
    }
    slot_->epoch.store(0, std::memory_order_release);
}

bool insideGuard() {
    const ThreadSlot* const slot = currentSlot();
    return slot != nullptr && slot->depth != 0;
}

std::uint32_t advanceEpoch() {
    const std::uint32_t ended = epoch.load();
    std::uint32_t next = ended + 1;
    while (next == 0 || next == kPresentOnly) ++next;
    epoch.store(next);
    return ended;
}

void noteRetired(std::uint32_t oldest) { oldestRetired.store(oldest); }

void onGuardLeft(void (*freeDue)()) { freeDueHook.store(freeDue); }

} // namespace kov::runtime
