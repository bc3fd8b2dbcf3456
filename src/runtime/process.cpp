#include "runtime/process.h"

#include "message/broker_confirms.h"
#include "registry/provider_list.h"
#include "registry/provider_loading.h"
#include "runtime/broker_lock.h"
#include "runtime/broker_security.h"
#include "runtime/statistics.h"
#include "runtime/thread_slots.h"

#include <atomic>

namespace kov::runtime {
namespace {
platform::ModuleHandle instance = nullptr;
std::atomic<bool> isAttached{false};
// Set once the first load of providers has run; never cleared by a reload. Atomic so that every
// later send can see it without taking BrokerLock.
std::atomic<bool> loaded{false};
// A detach found sends still running and left everything in place.
bool cleanupLeft = false;
} // namespace

bool processAttach(platform::ModuleHandle module) {
    // Without security attributes the lock and events simply get default security.
    buildBrokerSecurity();
    instance = module;
    loaded = false;
    // After the security blocks, so they are not counted as in use.
    startThreadSlots();
    resetStatistics();
    onOutermostRelease(registry::publishChanges);
    if (!createBrokerLock()) {
        releaseBrokerSecurity();
        return false;
    }
    isAttached = true;
    return true;
}

void processDetach(bool terminating) {
    if (!isAttached && !cleanupLeft) return;
    // From here every export refuses. A send that got past its own check has pinned something
    // by now (the order of the two stores is what makes that hold), so it is seen below.
    isAttached.store(false);
    if (anyPinned()) {
        // Sends still run (another thread, while the process exits): the list, the lock and
        // everything else they may touch stay as they are. A later detach finishes the job.
        cleanupLeft = true;
        return;
    }
    cleanupLeft = false;
    registry::unloadAll(terminating ? registry::Unload::KeepLibraries
                                    : registry::Unload::FreeLibraries);
    registry::forgetUnlinked();
    message::forgetTrackedConfirms();
    stopThreadSlots();
    closeBrokerLock();
    releaseBrokerSecurity();
}

bool attached() { return isAttached; }

platform::ModuleHandle moduleInstance() { return instance; }

void ensureLoaded() {
    if (loaded.load(std::memory_order_acquire)) return;
    BrokerLockGuard guard;
    if (loaded.load(std::memory_order_relaxed)) return;
    // An interrupted earlier load left the broker provider alone in the list: start afresh.
    registry::unloadAll();
    if (registry::loadAllProviders()) loaded.store(true, std::memory_order_release);
}

void forgetLoaded() { loaded.store(false, std::memory_order_release); }

} // namespace kov::runtime
