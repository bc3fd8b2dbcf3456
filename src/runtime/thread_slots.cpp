#include "runtime/thread_slots.h"

#include "platform/platform.h"

#include <new>

namespace kov::runtime {
namespace {

// Slots live in the module's own storage, so a slot can never be freed under a thread that is
// still inside a send, even while the process exits. Threads beyond the pool get heap slots.
constexpr unsigned kPoolSlots = 128;
ThreadSlot pool[kPoolSlots];
std::atomic<ThreadSlot*> extraSlots{nullptr};

platform::ThreadKey threadKey = nullptr;
// Bumped at every attach and detach: a thread whose cached slot is from an earlier attach claims
// anew, and after a detach (when heap slots may be gone) gets none until the next attach.
std::atomic<std::uint32_t> generation{1};
std::atomic<bool> slotsRunning{false};

// Trivially destructible on purpose: a thread_local with a destructor keeps the loader from
// really unloading the module.
thread_local ThreadSlot* cachedSlot = nullptr;
thread_local std::uint32_t cachedGeneration = 0;

void closeWaitEvent(ThreadSlot& slot) {
    if (slot.waitEvent != nullptr) platform::closeEvent(slot.waitEvent);
    slot.waitEvent = nullptr;
}

void handBack(void* value) {
    auto* slot = static_cast<ThreadSlot*>(value);
    slot->snapshotPin.store(nullptr);
    closeWaitEvent(*slot);
    slot->owned.store(0);
}

bool claim(ThreadSlot* slot) {
    std::uint32_t expected = 0;
    return slot->owned.compare_exchange_strong(expected, 1);
}

ThreadSlot* claimSlot() {
    for (ThreadSlot& slot : pool)
        if (claim(&slot)) return &slot;
    for (ThreadSlot* slot = extraSlots.load(); slot != nullptr; slot = slot->nextSlot)
        if (claim(slot)) return slot;
    auto* slot = new (std::nothrow) ThreadSlot{};
    if (slot == nullptr) return nullptr;
    slot->owned = 1;
    slot->nextSlot = extraSlots.load();
    while (!extraSlots.compare_exchange_weak(slot->nextSlot, slot)) {
    }
    return slot;
}

template <typename Visit> bool anySlot(Visit visit) {
    for (ThreadSlot& slot : pool)
        if (visit(slot)) return true;
    for (ThreadSlot* slot = extraSlots.load(); slot != nullptr; slot = slot->nextSlot)
        if (visit(*slot)) return true;
    return false;
}

// Wraps as the counter's type does: shares of a 32-bit counter add up modulo 2^32.
template <typename T, typename Read> T sumOverSlots(Read read) {
    T sum = 0;
    anySlot([&sum, &read](const ThreadSlot& slot) {
        sum = static_cast<T>(sum + read(slot));
        return false;
    });
    return sum;
}

void clearSlot(ThreadSlot& slot) {
    for (auto& p : slot.pins) p.store(nullptr, std::memory_order_relaxed);
    slot.pinAll.store(0, std::memory_order_relaxed);
    slot.snapshotPin.store(nullptr, std::memory_order_relaxed);
    slot.owned.store(0, std::memory_order_relaxed);
}

} // namespace

ThreadSlot* currentSlot() {
    const std::uint32_t now = generation.load(std::memory_order_relaxed);
    if (cachedGeneration == now) return cachedSlot;
    if (!slotsRunning.load()) return nullptr;
    ThreadSlot* slot = claimSlot();
    if (slot == nullptr) return nullptr;
    if (threadKey != nullptr) platform::setThreadValue(threadKey, slot);
    cachedSlot = slot;
    cachedGeneration = now;
    return slot;
}

unsigned pin(ThreadSlot* slot, const void* object) {
    for (unsigned i = 0; i < kPinsPerThread; ++i) {
        if (slot->pins[i].load(std::memory_order_relaxed) == nullptr) {
            // Sequentially consistent: the caller's check that `object` is still reachable
            // comes after the pin is visible to every writer's scan.
            slot->pins[i].store(object);
            return i;
        }
    }
    slot->pinAll.store(slot->pinAll.load(std::memory_order_relaxed) + 1);
    return kPinsPerThread;
}

void unpin(ThreadSlot* slot, unsigned index) {
    if (index < kPinsPerThread) {
        slot->pins[index].store(nullptr, std::memory_order_release);
    } else {
        slot->pinAll.store(slot->pinAll.load(std::memory_order_relaxed) - 1,
                           std::memory_order_release);
    }
}

bool isPinned(const void* object) {
    return anySlot([object](const ThreadSlot& slot) {
        if (slot.pinAll.load() != 0 || slot.snapshotPin.load() == object) return true;
        for (const auto& p : slot.pins)
            if (p.load() == object) return true;
        return false;
    });
}

bool anyPinned() {
    return anySlot([](const ThreadSlot& slot) {
        if (slot.pinAll.load() != 0) return true;
        for (const auto& p : slot.pins)
            if (p.load() != nullptr) return true;
        return false;
    });
}

void dropSnapshotPins() {
    anySlot([](ThreadSlot& slot) {
        slot.snapshotPin.store(nullptr);
        return false;
    });
}

std::uint64_t sumCounter(unsigned counter) {
    return sumOverSlots<std::uint64_t>([counter](const ThreadSlot& slot) {
        return slot.counters[counter].load(std::memory_order_relaxed);
    });
}

std::uint32_t sumByteCounter(unsigned counter) {
    return sumOverSlots<std::uint32_t>([counter](const ThreadSlot& slot) {
        return slot.bytes[counter].load(std::memory_order_relaxed);
    });
}

std::uint32_t sumSyncWaiting() {
    return sumOverSlots<std::uint32_t>(
        [](const ThreadSlot& slot) { return slot.syncWaiting.load(std::memory_order_relaxed); });
}

void resetCounters() {
    anySlot([](ThreadSlot& slot) {
        for (auto& c : slot.counters) c.store(0, std::memory_order_relaxed);
        for (auto& b : slot.bytes) b.store(0, std::memory_order_relaxed);
        slot.syncWaiting.store(0, std::memory_order_relaxed);
        return false;
    });
}

bool startThreadSlots() {
    // Events of an earlier attach were closed at its detach.
    for (ThreadSlot& slot : pool) {
        clearSlot(slot);
        slot.waitEvent = nullptr;
    }
    generation.fetch_add(1);
    slotsRunning.store(true);
    threadKey = nullptr;
    platform::ThreadKey key = nullptr;
    // Without the key a thread's slot is simply not handed back when it ends.
    if (platform::createThreadKey(&key, handBack)) threadKey = key;
    return true;
}

void stopThreadSlots() {
    // Counting after this point (the last blocks a detach gives back) uses the shared counters.
    slotsRunning.store(false);
    generation.fetch_add(1);
    if (threadKey != nullptr) platform::deleteThreadKey(threadKey);
    threadKey = nullptr;
    if (anyPinned()) return; // a send still runs: its slot stays where it is
    anySlot([](ThreadSlot& s) {
        closeWaitEvent(s);
        return false;
    });
    ThreadSlot* slot = extraSlots.exchange(nullptr);
    while (slot != nullptr) {
        ThreadSlot* next = slot->nextSlot;
        delete slot;
        slot = next;
    }
}

} // namespace kov::runtime
