#include "runtime/broker_lock.h"

#include "platform/platform.h"
#include "runtime/broker_security.h"

namespace kov::runtime {
namespace {
platform::LockHandle brokerLock = nullptr;
}

bool createBrokerLock() {
    brokerLock = platform::createLock(brokerSecurity());
    return brokerLock != nullptr;
}

void closeBrokerLock() {
    if (brokerLock != nullptr) platform::closeLock(brokerLock);
    brokerLock = nullptr;
}

void lock() { platform::acquireLock(brokerLock); }

void unlock() { platform::releaseLock(brokerLock); }

} // namespace kov::runtime
