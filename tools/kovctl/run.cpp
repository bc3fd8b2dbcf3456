// Running one parsed command: shared by a single run of kovctl and every line of a session.
#include "commands.h"
#include "crash_records.h"

#include "registry_check.h"
#include "report.h"

namespace kovctl {
namespace {

int runCommand(const Options& options, const BrokerApi& api) {
    switch (options.command) {
    case Command::List: return runList(options, api);
    case Command::Info: return runInfo(options, api);
    case Command::Stats: return runStats(options, api);
    case Command::Lang: return runLang(options, api);
    case Command::Reload: return runReload(options, api);
    case Command::Register:
    case Command::Remove: return runRegistration(options, api);
    case Command::CheckLang: return runCheckLang(options, api);
    case Command::Send: return runSend(options, api);
    case Command::Inspect: return runInspect(options);
    case Command::Registry: return runRegistryListing(options);
    case Command::Enable: return runEnable(options);
    case Command::Session: // runs lines of its own (see main)
    case Command::None: break;
    }
    return kExitUsage;
}

} // namespace

int runLoaded(const Options& options, const BrokerApi& api) {
    if (options.version) return runVersion(options, &api, std::string());
    // Every other command makes the broker read the registry: a problem with it is named here,
    // and a lock another process holds is waited for here, with a word and within --timeout.
    std::string error;
    if (!registryUsable(options.timeoutMs, error)) return fail(error);
    return runCommand(options, api);
}

} // namespace kovctl
