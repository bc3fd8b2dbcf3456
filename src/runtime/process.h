// Process attach and detach of the broker module, and the process-wide state they set up.
#pragma once

#include "platform/platform.h"

#include <atomic>

namespace kov::runtime {

namespace detail {
extern KOV_MODULE_GLOBAL std::atomic<bool> isAttached;
// Set once the first load of providers has run; never cleared by a reload.
extern KOV_MODULE_GLOBAL std::atomic<bool> loaded;
void loadFirstTime();
} // namespace detail

// Builds BrokerSecurity, clears the statistics and creates BrokerLock. False when the lock cannot
// be created: the module must not stay loaded.
bool processAttach(platform::ModuleHandle instance);

// Unloads every provider, closes BrokerLock and releases BrokerSecurity. With `terminating` (the
// process is exiting, not unloading the module, and the system has already ended its other
// threads) nothing is touched: those threads may have died holding a heap's lock or inside a
// provider, and the system reclaims everything anyway. While another thread is still inside an
// export (exit() with threads running), nothing is touched either: whatever that thread may use
// stays. In both cases a later detach (after a new attach) finishes the job.
void processDetach(bool terminating);

// True between a successful attach and the matching detach.
inline bool attached() { return detail::isAttached.load(); }

// The broker's own module; its string table holds the resource strings.
platform::ModuleHandle moduleInstance();

// Runs the first load of providers once per process; the first send calls it. Other threads'
// first sends wait for it; a send made on the loading thread itself (a library's initialisation)
// goes on with the list as published so far. A load that fails is tried again by the next send.
inline void ensureLoaded() {
    if (KOV_UNLIKELY(!detail::loaded.load(std::memory_order_acquire))) detail::loadFirstTime();
}
// A complete load (a reload) has run: the next send need not load.
void markLoaded();

} // namespace kov::runtime
