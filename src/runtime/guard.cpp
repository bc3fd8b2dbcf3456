#include "runtime/guard.h"

#include "runtime/process.h"

#include <atomic>

namespace kov::runtime {
namespace {
std::atomic<void (*)()> freeDueHook{nullptr};
} // namespace

namespace detail {

std::atomic<std::uint32_t> epoch{1};
std::atomic<std::uint32_t> oldestRetired{0};

void refused(ThreadSlot* slot) { slot->epoch.store(0, std::memory_order_release); }

// This guard may have kept a list from being freed: ask for it, present again (a detach must see
// this thread) but pinning nothing. Sends made while freeing (a library's finaliser) nest inside
// and pin nothing either; they read the published list, which only a holder of BrokerLock (this
// thread, while freeing) can replace.
void askForFreeing(ThreadSlot* slot) {
    slot->epoch.store(kPresentOnly);
    if (attached()) {
        if (auto hook = freeDueHook.load(std::memory_order_relaxed)) hook();
    }
    slot->epoch.store(0, std::memory_order_release);
}

} // namespace detail

using detail::epoch;
using detail::oldestRetired;

bool insideGuard() {
    const ThreadSlot* const slot = currentSlot();
    return slot != nullptr && slot->epoch.load(std::memory_order_relaxed) != 0;
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
