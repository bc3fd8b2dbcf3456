#include "runtime/broker_lock.h"

#include "platform/platform.h"
#include "runtime/broker_security.h"
#include "runtime/thread_slots.h"

#include <atomic>
#include <cstdint>

namespace kov::runtime {
namespace {
platform::LockHandle brokerLock = nullptr;
// The holder's thread token and how deep it holds the lock; only the holder writes them.
std::atomic<std::uint32_t> holder{0};
unsigned holdDepth = 0;

void taken() {
    if (holdDepth++ == 0) holder.store(threadToken(), std::memory_order_relaxed);
}
} // namespace

bool createBrokerLock() {
    brokerLock = platform::createLock(brokerSecurity());
    holdDepth = 0;
    holder = 0;
    return brokerLock != nullptr;
}

void closeBrokerLock() {
    if (brokerLock != nullptr) platform::closeLock(brokerLock);
    brokerLock = nullptr;
}

void lock() {
    platform::acquireLock(brokerLock);
    taken();
}

bool tryLock() {
    if (!platform::tryAcquireLock(brokerLock)) return false;
    taken();
    return true;
}

void unlock() {
    if (--holdDepth == 0) holder.store(0, std::memory_order_relaxed);
    platform::releaseLock(brokerLock);
}

bool lockHeldHere() { return holder.load(std::memory_order_relaxed) == threadToken(); }

} // namespace kov::runtime
