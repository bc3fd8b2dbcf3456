#include "runtime/broker_lock.h"

#include "platform/platform.h"
#include "runtime/broker_security.h"

namespace kov::runtime {
namespace {
platform::LockHandle brokerLock = nullptr;
// How deep the holding thread holds the lock; only the holder reads or writes it.
unsigned holdDepth = 0;
void (*outermostRelease)() = nullptr;
} // namespace

bool createBrokerLock() {
    brokerLock = platform::createLock(brokerSecurity());
    holdDepth = 0;
    return brokerLock != nullptr;
}

void closeBrokerLock() {
    if (brokerLock != nullptr) platform::closeLock(brokerLock);
    brokerLock = nullptr;
}

void onOutermostRelease(void (*hook)()) { outermostRelease = hook; }

void lock() {
    platform::acquireLock(brokerLock);
    ++holdDepth;
}

void unlock() {
    if (holdDepth == 1 && outermostRelease != nullptr) {
        // Still held, one level deeper, so the hook's own use of the lock does not re-enter it.
        ++holdDepth;
        outermostRelease();
        --holdDepth;
    }
    --holdDepth;
    platform::releaseLock(brokerLock);
}

} // namespace kov::runtime
