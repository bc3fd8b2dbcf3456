#include "runtime/thread_slots.h"

#include "platform/platform.h"

#include <new>

namespace kov::runtime {
namespace {

// Slots live in the module's own storage; threads beyond the pool get heap slots, which are
// never freed (they are reused by later threads and later attaches).
constexpr unsigned kPoolSlots = 128;
ThreadSlot pool[kPoolSlots];
std::atomic<ThreadSlot*> extraSlots{nullptr};

platform::ThreadKey threadKey = nullptr;
std::atomic<bool> slotsRunning{false};
std::atomic<std::uint32_t> lastToken{0};

// Trivially destructible on purpose: a thread_local with a destructor keeps the loader from
// really unloading the module.
thread_local ThreadSlot* cachedSlot = nullptr;
thread_local std::uint32_t token = 0;

void closeWaitEvent(ThreadSlot& slot) {
    if (slot.waitEvent != nullptr) platform::closeEvent(slot.waitEvent);
    slot.waitEvent = nullptr;
}

// Runs on the ending thread, after it has left every export. Deleting the key at detach may run
// it too (Windows does, for every thread): slots are not handed back then, they are reset at the
// next attach.
void handBack(void* value) {
    if (!slotsRunning.load()) return;
    auto* slot = static_cast<ThreadSlot*>(value);
    closeWaitEvent(*slot);
    slot->owner.store(0, std::memory_order_release);
}

bool claim(ThreadSlot* slot, std::uint32_t me) {
    std::uint32_t expected = 0;
    return slot->owner.compare_exchange_strong(expected, me);
}

ThreadSlot* claimSlot(std::uint32_t me) {
    for (ThreadSlot& slot : pool)
        if (claim(&slot, me)) return &slot;
    for (ThreadSlot* slot = extraSlots.load(); slot != nullptr; slot = slot->nextSlot)
        if (claim(slot, me)) return slot;
    auto* slot = new (std::nothrow) ThreadSlot{};
    if (slot == nullptr) return nullptr;
    slot->owner = me;
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

} // namespace

std::uint32_t threadToken() {
    if (token == 0) {
        std::uint32_t next;
        do {
            next = lastToken.fetch_add(1, std::memory_order_relaxed) + 1;
        } while (next == 0);
        token = next;
    }
    return token;
}

ThreadSlot* currentSlot() {
    ThreadSlot* const cached = cachedSlot;
    // Only this thread makes its own slot free again, so a match cannot go stale under it.
    if (cached != nullptr && cached->owner.load(std::memory_order_relaxed) == token)
        return cached;
    if (!slotsRunning.load()) return nullptr;
    const std::uint32_t me = threadToken();
    ThreadSlot* slot = claimSlot(me);
    if (slot == nullptr) return nullptr;
    if (threadKey != nullptr) platform::setThreadValue(threadKey, slot);
    cachedSlot = slot;
    return slot;
}

bool anyInside() {
    return anySlot([](const ThreadSlot& slot) { return slot.epoch.load() != 0; });
}

bool pinnedAtOrBefore(std::uint32_t epoch) {
    return anySlot([epoch](const ThreadSlot& slot) {
        const std::uint32_t pinned = slot.epoch.load();
        return pinned != 0 && pinned != kPresentOnly && epochAtOrBefore(pinned, epoch);
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

void startThreadSlots() {
    anySlot([](ThreadSlot& slot) {
        slot.owner.store(0, std::memory_order_relaxed);
        slot.epoch.store(0, std::memory_order_relaxed);
        slot.depth = 0;
        slot.waitEvent = nullptr; // closed at the detach
        for (auto& c : slot.counters) c.store(0, std::memory_order_relaxed);
        for (auto& b : slot.bytes) b.store(0, std::memory_order_relaxed);
        slot.syncWaiting.store(0, std::memory_order_relaxed);
        return false;
    });
    threadKey = nullptr;
    platform::ThreadKey key = nullptr;
    // Without the key a thread's slot is simply not handed back when it ends.
    if (platform::createThreadKey(&key, handBack)) threadKey = key;
    slotsRunning.store(true);
}

void stopThreadSlots() {
    // Counting after this point (the last blocks a detach gives back) uses the shared counters.
    slotsRunning.store(false);
    if (threadKey != nullptr) platform::deleteThreadKey(threadKey);
    threadKey = nullptr;
    // Nobody is inside: every slot goes free, so a thread calling after the detach finds none.
    anySlot([](ThreadSlot& slot) {
        closeWaitEvent(slot);
        slot.owner.store(0, std::memory_order_relaxed);
        return false;
    });
}

} // namespace kov::runtime
