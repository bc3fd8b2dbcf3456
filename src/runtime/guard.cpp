#include "runtime/guard.h"

#include "runtime/process.h"

#include <atomic>

namespace kov::runtime {
namespace {

// Counts up from 1, skipping 0 (which means "not inside") when it wraps.
std::atomic<std::uint32_t> epoch{1};
std::atomic<bool> retiredPending{false};
std::atomic<std::uint32_t> oldestRetired{0};
std::atomic<void (*)(const ThreadSlot*)> freeDueHook{nullptr};

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
    // Still pinned while freeing is tried, so a detach sees this thread; the pin itself is
    // ignored, since nothing of this guard is used any more.
    if (retiredPending.load(std::memory_order_relaxed) &&
        epochAtOrBefore(slot_->epoch.load(std::memory_order_relaxed),
                        oldestRetired.load(std::memory_order_relaxed))) {
        if (auto hook = freeDueHook.load(std::memory_order_relaxed)) {
            ++slot_->depth; // sends made while freeing (a library's finaliser) nest inside
            hook(slot_);
            --slot_->depth;
        }
    }
    slot_->epoch.store(0, std::memory_order_release);
}

bool insideGuard() {
    const ThreadSlot* const slot = currentSlot();
    return slot != nullptr && slot->depth != 0;
}

std::uint32_t currentEpoch() { return epoch.load(); }

std::uint32_t advanceEpoch() {
    const std::uint32_t ended = epoch.load();
    std::uint32_t next = ended + 1;
    if (next == 0) next = 1;
    epoch.store(next);
    return ended;
}

void noteRetired(bool pending, std::uint32_t oldest) {
    oldestRetired.store(oldest, std::memory_order_relaxed);
    retiredPending.store(pending, std::memory_order_relaxed);
}

void onGuardLeft(void (*freeDue)(const ThreadSlot* leaving)) { freeDueHook.store(freeDue); }

} // namespace kov::runtime
