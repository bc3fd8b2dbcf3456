#include "runtime/process.h"

#include "dispatch/send.h"
#include "message/broker_confirms.h"
#include "message/resource_strings.h"
#include "observe/published_region.h"
#include "registry/load_report.h"
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
// A detach found threads still inside and left everything in place.
bool cleanupLeft = false;
} // namespace

namespace detail {
std::atomic<bool> isAttached{false};
// Atomic so that every later send can see it without taking BrokerLock.
std::atomic<bool> loaded{false};
} // namespace detail

using detail::isAttached;
using detail::loaded;

bool processAttach(platform::ModuleHandle module) {
    if (cleanupLeft) {
        processDetach(false);
        if (cleanupLeft) return false; // threads of the earlier attach are still inside
    }
    // Without security attributes the lock and events simply get default security.
    buildBrokerSecurity();
    instance = module;
    loaded = false;
    // The slots live in the region: it comes first.
    observe::publishRegion();
    // After the security blocks, so they are not counted as in use.
    startThreadSlots();
    resetStatistics();
    registry::startProviderList();
    registry::forgetLoadReport();
    dispatch::startSyncCalls();
    message::forgetResourceStrings();
    if (!createBrokerLock()) {
        stopThreadSlots();
        observe::withdrawRegion();
        releaseBrokerSecurity();
        return false;
    }
    isAttached = true;
    return true;
}

void processDetach(bool terminating) {
    if (!isAttached && !cleanupLeft) return;
    // From here every guard that is entered refuses; a thread that entered one before has its
    // pin visible by now (both sides are sequentially consistent), so it is seen here.
    isAttached.store(false);
    // Only the name goes: readers stop finding a process that is leaving, and a slot a thread
    // still holds stays where it is.
    observe::withdrawRegion();
    // A terminating process has had its other threads ended wherever they were, inside a heap
    // or a provider perhaps: freeing memory or calling providers now can hang or crash the
    // exit. The system reclaims everything.
    if (terminating || anyInside()) {
        cleanupLeft = true;
        return;
    }
    cleanupLeft = false;
    registry::unloadAll();
    registry::forgetLoadReport();
    message::forgetTrackedConfirms();
    stopThreadSlots();
    closeBrokerLock();
    releaseBrokerSecurity();
}

platform::ModuleHandle moduleInstance() { return instance; }

void detail::loadFirstTime() {
    const BrokerLockGuard guard;
    if (loaded.load(std::memory_order_relaxed)) return;
    if (registry::loadAllProviders(registry::Load::First)) markLoaded();
}

void markLoaded() {
    loaded.store(true, std::memory_order_release);
    observe::noteProvidersLoaded();
}

} // namespace kov::runtime
