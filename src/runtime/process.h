// Process attach and detach of the broker module, and the process-wide state they set up.
#pragma once

#include "platform/platform.h"

namespace kov::runtime {

// Builds BrokerSecurity, clears the statistics and creates BrokerLock. False when the lock cannot
// be created: the module must not stay loaded.
bool processAttach(platform::ModuleHandle instance);

// Unloads every provider, closes BrokerLock and releases BrokerSecurity. With `terminating` (the
// process is exiting, not unloading the module) provider libraries are left to the system: the
// loader forbids unloading libraries then, and everything is reclaimed anyway.
void processDetach(bool terminating);

// True between a successful attach and the matching detach.
bool attached();

// The broker's own module; its string table holds the resource strings.
platform::ModuleHandle moduleInstance();

// Runs loadAllProviders once per process, under BrokerLock; the first send calls it. A load that
// fails is tried again by the next send.
void ensureLoaded();
// Under BrokerLock, after a failed reload: the next send loads from scratch.
void forgetLoaded();

} // namespace kov::runtime
