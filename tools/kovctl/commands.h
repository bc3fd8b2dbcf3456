// The commands. Each sends its request(s), prints the outcome and returns the exit code.
#pragma once

#include "args.h"
#include "module.h"

namespace kovctl {

int runList(const Options& options, const BrokerApi& api);
int runInfo(const Options& options, const BrokerApi& api);
int runStats(const Options& options, const BrokerApi& api);
int runLang(const Options& options, const BrokerApi& api);

int runReload(const Options& options, const BrokerApi& api);
int runRegistration(const Options& options, const BrokerApi& api); // register and remove
int runCheckLang(const Options& options, const BrokerApi& api);

int runSend(const Options& options, const BrokerApi& api);

} // namespace kovctl
