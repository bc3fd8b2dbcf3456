// Running one parsed command: shared by a single run of kovctl, its worker and every line of a
// session.
#include "run.h"

#include "commands.h"
#include "copies.h"
#include "crash_records.h"
#include "exchange.h"
#include "registry_check.h"
#include "report.h"
#include "session.h"
#include "usage.h"
#include "worker.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace kovctl {
namespace {

int runCommand(const Options& options, const BrokerApi& api) {
    switch (options.command) {
    case Command::List: return runList(options, api);
    case Command::Info: return runInfo(options, api);
    case Command::Stats: return runStats(options, api);
    case Command::Lang: return runLang(options, api);
    case Command::Reload: return runReload(options, api);
    case Command::Register: return runRegister(options, api);
    case Command::Remove: return runRemove(options);
    case Command::CheckLang: return runCheckLang(options, api);
    case Command::Send: return runSend(options, api);
    case Command::Inspect: return runInspect(options);
    case Command::Registry: return runRegistryListing(options);
    case Command::Enable: return runEnable(options);
    case Command::Ps:
    case Command::Top:
    case Command::Trace: return runObserve(options);
    case Command::Session: // runs lines of its own (see runWithBroker)
    case Command::Version: // see runLoaded
    case Command::None: break;
    }
    return kExitUsage;
}

// What the worker does: the command with the broker module loaded into this process.
int runWithBroker(const Options& options) {
    BrokerApi api;
    std::string error;
    const bool loaded = loadBroker(modulePathFor(options.modulePath), api, error);
    if (options.version) return runVersion(options, loaded ? &api : nullptr, error);
    if (!loaded) return fail(error);
    // A session loads the module once for all its commands.
    if (options.command == Command::Session) return runSession(options, api);
    return runLoaded(options, api);
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

int runCommandLine(const std::vector<std::string>& words) {
    const ParseResult parsed = parseWords(words);
    if (!parsed.ok) {
        if (std::find(words.begin(), words.end(), "--json") != words.end())
            reportFailuresAsJson(parsed.options.command);
        return finishProcess(failWith(kExitUsage, parsed.error + "; see kovctl --help"));
    }
    const Options& options = parsed.options;
    if (options.help) {
        std::cout << usageText(options.command);
        return finishProcess(kExitOk);
    }
    if (options.json) reportFailuresAsJson(options.command);
    std::string error;
    switch (options.command) {
    // These load no provider into this process: inspect loads the library in a copy, registry
    // each entry in one, remove takes the entry out of the registry without loading it, and
    // enable clears crash records, which kovctl reads itself.
    case Command::Inspect: return finishProcess(runInspect(options));
    case Command::Enable: return finishProcess(runEnable(options));
    // Other processes' regions: no broker in this one.
    case Command::Ps:
    case Command::Top:
    case Command::Trace: return finishProcess(runObserve(options));
    case Command::Stats:
        if (options.pid != 0) return finishProcess(runObserve(options));
        break;
    case Command::Registry:
    case Command::Remove:
        if (!registryUsable(options.timeoutMs, error)) return finishProcess(fail(error));
        return finishProcess(runCommand(options, BrokerApi()));
    default: break;
    }
    // The rest runs the broker, which loads every provider: in a worker, unless this is it.
    if (!isCopy()) {
        const int exitCode = runInWorker(options, words);
        if (exitCode != kNoWorker) return exitCode;
    }
    return finishProcess(runWithBroker(options));
}

int finishProcess(int exitCode) {
    sendRecord({{"r", "exit"}, {"code", exitCode}});
    if (callStillPending()) {
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}

} // namespace kovctl
