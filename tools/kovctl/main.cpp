// kovctl: a command-line client of the KOV broker.
#include "args.h"
#include "commands.h"
#include "crash_records.h"
#include "exchange.h"
#include "module.h"
#include "registry_check.h"
#include "report.h"
#include "session.h"
#include "usage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

bool askedForJson(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--json") == 0) return true;
    return false;
}

// A call left running in the broker or a provider must not meet the module's teardown at exit:
// end the process at once, with everything printed so far.
int finish(int exitCode) {
    if (kovctl::callStillPending()) {
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    const kovctl::ParseResult parsed = kovctl::parseArguments(argc, argv);
    if (!parsed.ok) {
        if (askedForJson(argc, argv)) kovctl::reportFailuresAsJson(parsed.options.command);
        return kovctl::failWith(kovctl::kExitUsage, parsed.error + "; see kovctl --help");
    }
    const kovctl::Options& options = parsed.options;
    if (options.help) {
        std::cout << kovctl::usageText(options.command);
        return kovctl::kExitOk;
    }
    if (options.json) kovctl::reportFailuresAsJson(options.command);
    std::string error;
    // Enable clears crash records, which kovctl reads itself: no module either.
    if (options.command == kovctl::Command::Enable) return kovctl::runEnable(options);
    // Inspect loads one library as the broker would; the broker module is not needed for it.
    if (options.command == kovctl::Command::Inspect) return kovctl::runInspect(options);
    // Neither for registry, which reads the registry itself.
    if (options.command == kovctl::Command::Registry) {
        if (!kovctl::registryUsable(options.timeoutMs, error)) return kovctl::fail(error);
        return kovctl::runRegistryListing(options);
    }
    kovctl::BrokerApi api;
    const bool loaded = kovctl::loadBroker(kovctl::modulePathFor(options.modulePath), api, error);
    if (options.version) return finish(kovctl::runVersion(options, loaded ? &api : nullptr, error));
    if (!loaded) return kovctl::fail(error);
    // A session loads the module once for all its commands.
    if (options.command == kovctl::Command::Session) return finish(kovctl::runSession(options, api));
    return finish(kovctl::runLoaded(options, api));
}
