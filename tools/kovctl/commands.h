// The commands. Each sends its request(s), prints the outcome and returns the exit code.
#pragma once

#include "args.h"
#include "module.h"

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

} // namespace kovctl
