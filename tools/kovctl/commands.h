// The commands. Each sends its request(s), prints the outcome and returns the exit code.
#pragma once

#include "args.h"
#include "json.h"
#include "module.h"
#include "records.h"

#include <string>

namespace kovctl {

int runList(const Options& options, const BrokerApi& api);
int runInfo(const Options& options, const BrokerApi& api);
int runStats(const Options& options, const BrokerApi& api);
int runLang(const Options& options, const BrokerApi& api);

int runReload(const Options& options, const BrokerApi& api);
int runRegistration(const Options& options, const BrokerApi& api); // register and remove
int runCheckLang(const Options& options, const BrokerApi& api);

int runSend(const Options& options, const BrokerApi& api);
// `api` null: the module could not be loaded, for the reason in `loadError`.
int runVersion(const Options& options, const BrokerApi* api, const std::string& loadError);

// One command (not help, not session) with the broker module loaded: --version, or the command
// once the registry has been found usable.
int runLoaded(const Options& options, const BrokerApi& api);

// A provider's description as JSON members; handles only where a broker gave them.
void describeSubsystem(Json& json, const Subsystem& subsystem, bool withHandles);

// Without the broker module: the library probe and the registry, in kovctl's own process.
int runInspect(const Options& options);
int runRegistryListing(const Options& options);
// Why the broker would refuse the library at `path`; empty when it would accept it.
std::string refusalReason(const std::string& path);

} // namespace kovctl
