// BrokerLock: the one process-wide recursive lock. It guards the provider list and all loading,
// unloading and registry work; it is never held while a provider entry or a callback runs.
#pragma once

namespace kov::runtime {

bool createBrokerLock();
void closeBrokerLock();

void lock();
void unlock();
// `hook` runs whenever the outermost hold of the lock is about to end, still under the lock:
// the provider list publishes its changes there.
void onOutermostRelease(void (*hook)());

class BrokerLockGuard {
public:
    BrokerLockGuard() { lock(); }
    ~BrokerLockGuard() { unlock(); }
    BrokerLockGuard(const BrokerLockGuard&) = delete;
    BrokerLockGuard& operator=(const BrokerLockGuard&) = delete;
};

} // namespace kov::runtime
