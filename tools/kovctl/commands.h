// The commands. Each sends its request(s), prints the outcome and returns the exit code.
#pragma once

#include "args.h"
#include "json.h"
#include "module.h"
#include "records.h"
#include "registry_view.h"

#include <string>

namespace kovctl {

int runList(const Options& options, const BrokerApi& api);
int runInfo(const Options& options, const BrokerApi& api);
int runStats(const Options& options, const BrokerApi& api);
int runLang(const Options& options, const BrokerApi& api);

int runReload(const Options& options, const BrokerApi& api);
int runRegister(const Options& options, const BrokerApi& api);
int runCheckLang(const Options& options, const BrokerApi& api);
// Takes the entry out of the registry directly, as the broker's registration would, without
// loading any provider (and without unloading one this process may hold: see reload).
int runRemove(const Options& options);

int runSend(const Options& options, const BrokerApi& api);
// `api` null: the module could not be loaded, for the reason in `loadError`.
int runVersion(const Options& options, const BrokerApi* api, const std::string& loadError);

// One command (not help, not session) with the broker module loaded: --version, or the command
// once the registry has been found usable.
int runLoaded(const Options& options, const BrokerApi& api);

// The registry entry the provider with `handle` was loaded from, as list pairs them; false when
// the broker does not answer or no entry pairs with it. Says nothing.
bool registryEntryOf(const Options& options, const BrokerApi& api, std::uint32_t handle,
                     RegistryEntry& entry);

// A provider's description as JSON members; handles only where a broker gave them.
void describeSubsystem(Json& json, const Subsystem& subsystem, bool withHandles);

// Without the broker module: each library loaded in a copy of kovctl.
int runInspect(const Options& options);
int runRegistryListing(const Options& options);

// ps, top, trace and stats --pid: other processes' published regions, without the broker.
int runObserve(const Options& options);

} // namespace kovctl
