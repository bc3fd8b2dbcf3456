// kovctl: a command-line client of the KOV broker.
#include "args.h"
#include "commands.h"
#include "module.h"
#include "report.h"
#include "usage.h"

#include <cstdio>
#include <iostream>

namespace {

int runCommand(const kovctl::Options& options, const kovctl::BrokerApi& api) {
    using kovctl::Command;
    switch (options.command) {
    case Command::List: return kovctl::runList(options, api);
    case Command::Info: return kovctl::runInfo(options, api);
    case Command::Stats: return kovctl::runStats(options, api);
    case Command::Lang: return kovctl::runLang(options, api);
    case Command::Reload: return kovctl::runReload(options, api);
    case Command::Register:
    case Command::Remove: return kovctl::runRegistration(options, api);
    case Command::CheckLang: return kovctl::runCheckLang(options, api);
    case Command::Send: return kovctl::runSend(options, api);
    case Command::Inspect: return kovctl::runInspect(options);
    case Command::Registry: return kovctl::runRegistryListing(options);
    case Command::None: break;
    }
    return kovctl::kExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    const kovctl::ParseResult parsed = kovctl::parseArguments(argc, argv);
    if (!parsed.ok) {
        std::fprintf(stderr, "kovctl: %s; see kovctl --help\n", parsed.error.c_str());
        return kovctl::kExitUsage;
    }
    const kovctl::Options& options = parsed.options;
    if (options.help) {
        std::cout << kovctl::usageText(options.command);
        return kovctl::kExitOk;
    }
    // These two load provider libraries and read the registry themselves, as the broker would;
    // the broker module is not needed for them.
    if (options.command == kovctl::Command::Inspect || options.command == kovctl::Command::Registry)
        return runCommand(options, kovctl::BrokerApi{});
    kovctl::BrokerApi api;
    std::string error;
    if (!kovctl::loadBroker(kovctl::modulePathFor(options.modulePath), api, error))
        return kovctl::fail(error);
    return runCommand(options, api);
}
