#include "runtime/thread_slots.h"

#include "observe/published_region.h"
#include "platform/platform.h"
#include "runtime/block_allocator.h"
#include "runtime/guard.h"
#include "runtime/process.h"

#include <new>

namespace kov::runtime {
namespace {

// Slots live in the published region (or the module's own block when there is none); threads
// beyond the pool get heap slots, which are never freed (they are reused by later threads and
// later attaches) and are not seen from outside. The pool moves only from the module's block to
// a region mapped at a later attach, and both stay: a thread's cached slot never goes away.
ThreadSlot* pool = nullptr;

struct PoolSlots {
    ThreadSlot* begin() const { return pool; }
    ThreadSlot* end() const { return pool + kPoolSlots; }
};
std::atomic<ThreadSlot*> extraSlots{nullptr};

platform::ThreadKey threadKey = nullptr;
std::atomic<std::uint32_t> lastToken{0};
std::atomic<void (*)(platform::EventHandle)> abandonedCalls{nullptr};

void closeWaitEvent(ThreadSlot& slot) {
    if (slot.waitEvent != nullptr) platform::closeEvent(slot.waitEvent);
    slot.waitEvent = nullptr;
}

// Present in the slot (pinning nothing) while the module is attached: true when the thread may
// go on; false when a detach has begun, which then owns every slot, and nothing may be touched.
bool presentWhileAttached(ThreadSlot* slot) {
    slot->epoch.store(kPresentOnly);
    if (attached()) return true;
    slot->epoch.store(0, std::memory_order_release);
    return false;
}

// Releases what the slot holds and frees it, present meanwhile. The owner word goes last: until
// then no other thread can take the slot.
void giveBack(ThreadSlot* slot) {
    if (!presentWhileAttached(slot)) return;
    closeWaitEvent(*slot);
    flushBlockCache(*slot);
    slot->transient = 0;
    slot->epoch.store(0, std::memory_order_release);
    slot->owner.store(0, std::memory_order_release);
}

void endAbandonedCalls(ThreadSlot* slot) {
    const auto endCalls = abandonedCalls.load();
    if (endCalls == nullptr || slot->waitEvent == nullptr) return;
    const Guard guard; // pins this slot afresh: the confirms it hands back need a lookup
    if (guard) endCalls(slot->waitEvent);
}

// Runs on the ending thread, after it has left every export, or on Windows also for every thread
// when the detach deletes the key: the detach owns every slot then. A pin left in the slot is a
// call the thread never left (Windows: ExitThread inside a provider's entry; no unwinding ran):
// its synchronous calls end first, under a guard of its own, and the pin goes.
void handBack(void* value) {
    auto* slot = static_cast<ThreadSlot*>(value);
    if (!attached() || slot->owner.load(std::memory_order_relaxed) != detail::identity.token)
        return;
    if (slot->epoch.load(std::memory_order_relaxed) != 0) {
        slot->epoch.store(0, std::memory_order_release);
        endAbandonedCalls(slot);
    }
    detail::identity.ended = true;
    giveBack(slot);
}

bool claim(ThreadSlot* slot, std::uint32_t me) {
    std::uint32_t expected = 0;
    return slot->owner.compare_exchange_strong(expected, me);
}

ThreadSlot* claimSlot(std::uint32_t me) {
    for (ThreadSlot& slot : PoolSlots{})
        if (claim(&slot, me)) return &slot;
    for (ThreadSlot* slot = extraSlots.load(); slot != nullptr; slot = slot->nextSlot)
        if (claim(slot, me)) return slot;
    auto* slot = new (std::nothrow) ThreadSlot{};
    if (slot == nullptr) return nullptr;
    slot->owner = me;
    slot->shardOffset = observe::kProvOffShards + me % observe::kShards * observe::kShardBytes;
    slot->nextSlot = extraSlots.load();
    while (!extraSlots.compare_exchange_weak(slot->nextSlot, slot)) {
    }
    return slot;
}

template <typename Visit> bool anySlot(Visit visit) {
    if (pool == nullptr) return false;
    for (ThreadSlot& slot : PoolSlots{})
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

namespace detail {

void carry(ThreadSlot* slot, unsigned index) {
    OwnCounter& counter = slot->counters[index];
    const std::uint32_t sequence = slot->carrying.load(std::memory_order_relaxed);
    slot->carrying.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    counter.low.store(counter.low.load(std::memory_order_relaxed) - kCarryBit, std::memory_order_relaxed);
    counter.high.store(counter.high.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    slot->carrying.store(sequence + 2, std::memory_order_release);
}

KOV_FAST_THREAD_LOCAL ThreadIdentity identity = {nullptr, 0, false};

std::uint32_t newToken() {
    std::uint32_t next;
    do {
        next = lastToken.fetch_add(1, std::memory_order_relaxed) + 1;
    } while (next == 0);
    identity.token = next;
    return next;
}

// The key is armed (or the slot marked transient) only while present in the slot and attached:
// a detach deletes the key only once nobody is.
ThreadSlot* claimCurrentSlot() {
    if (!attached()) return nullptr;
    ThreadSlot* const slot = claimSlot(threadToken());
    if (slot == nullptr) return nullptr;
    if (!presentWhileAttached(slot)) {
        slot->owner.store(0, std::memory_order_release);
        return nullptr;
    }
    if (identity.ended) {
        slot->transient = 1; // no hook of this thread may run after its last call
    } else if (threadKey != nullptr) {
        platform::setThreadValue(threadKey, slot);
    }
    slot->epoch.store(0, std::memory_order_release);
    identity.slot = slot;
    return slot;
}

void handBackTransient(ThreadSlot* slot) { giveBack(slot); }

} // namespace detail

std::uint64_t read(const ThreadSlot& slot, const OwnCounter& counter) {
    for (;;) {
        const std::uint32_t before = slot.carrying.load(std::memory_order_acquire);
        const std::uint32_t high = counter.high.load(std::memory_order_relaxed);
        const std::uint32_t low = counter.low.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (before % 2 == 0 && slot.carrying.load(std::memory_order_relaxed) == before)
            return (std::uint64_t{high} << 31) + low;
    }
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
        return read(slot, slot.counters[counter]);
    });
}

std::uint32_t sumByteCounter(unsigned counter) {
    return sumOverSlots<std::uint32_t>([counter](const ThreadSlot& slot) {
        return slot.bytes[counter].load(std::memory_order_relaxed);
    });
}

void startThreadSlots() {
    pool = reinterpret_cast<ThreadSlot*>(observe::regionMemory() + observe::kSlotsAt);
    anySlot([](ThreadSlot& slot) {
        flushBlockCache(slot); // kept when an earlier detach left threads inside
        slot.owner.store(0, std::memory_order_relaxed);
        slot.epoch.store(0, std::memory_order_relaxed);
        slot.transient = 0;
        slot.waitEvent = nullptr; // closed at the detach
        for (auto& c : slot.counters) {
            c.low.store(0, std::memory_order_relaxed);
            c.high.store(0, std::memory_order_relaxed);
        }
        slot.carrying.store(0, std::memory_order_relaxed);
        for (auto& b : slot.bytes) b.store(0, std::memory_order_relaxed);
        return false;
    });
    for (unsigned i = 0; i < kPoolSlots; ++i) {
        pool[i].ownWaitEntry = i + 1;
        pool[i].shardOffset = observe::kProvOffShards + i % observe::kShards * observe::kShardBytes;
    }
    threadKey = nullptr;
    platform::ThreadKey key = nullptr;
    // Without the key a thread's slot is simply not handed back when it ends.
    if (platform::createThreadKey(&key, handBack)) threadKey = key;
}

// After the detach found nobody inside: no thread claims, arms or gives back a slot any more
// (each does so only present and attached), so the detach has every slot to itself.
void stopThreadSlots() {
    if (threadKey != nullptr) platform::deleteThreadKey(threadKey);
    threadKey = nullptr;
    // Every slot goes free, so a thread calling after the next attach claims one anew.
    anySlot([](ThreadSlot& slot) {
        closeWaitEvent(slot);
        flushBlockCache(slot);
        slot.transient = 0;
        slot.owner.store(0, std::memory_order_relaxed);
        return false;
    });
}

void onAbandonedCalls(void (*endCalls)(platform::EventHandle)) { abandonedCalls.store(endCalls); }

} // namespace kov::runtime
