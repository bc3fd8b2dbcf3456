// BrokerLock: the one process-wide recursive lock. Only writers take it: loading, reloading,
// registration and removal, and freeing what they unlinked. Senders never wait for it, except the
// first send of a process, which waits for the first load (see docs/internals.md).
#pragma once

namespace kov::runtime {

bool createBrokerLock();
void closeBrokerLock();

void lock();
// Takes the lock only when no other thread holds it; never waits.
bool tryLock();
void unlock();
// True while the calling thread holds the lock.
bool lockHeldHere();

class BrokerLockGuard {
public:
    BrokerLockGuard() { lock(); }
    ~BrokerLockGuard() { unlock(); }
    BrokerLockGuard(const BrokerLockGuard&) = delete;
    BrokerLockGuard& operator=(const BrokerLockGuard&) = delete;
};

} // namespace kov::runtime
