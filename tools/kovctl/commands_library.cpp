// Commands that need no broker: inspect loads a library the way the broker would, registry reads
// the provider list the broker loads from. Both run the broker's own loading code, each library
// in a copy of kovctl.
#include "commands.h"

#include "library_checks.h"
#include "records.h"
#include "registry_check.h"
#include "registry_view.h"
#include "report.h"
#include "text.h"

#include <iostream>

namespace kovctl {
namespace {

std::string versionOf(std::uint16_t major, std::uint16_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

void describeAsText(const Subsystem& s) {
    std::string sets;
    for (const FunctionSet& set : s.sets) {
        if (!sets.empty()) sets += ", ";
        sets += shortHex(set.functionSet) + " v" + versionOf(set.major, set.minor);
    }
    std::cout << "  product:   " << utf8FromUtf16(s.product) << '\n'
              << "  maker:     " << utf8FromUtf16(s.maker) << '\n'
              << "  copyright: " << utf8FromUtf16(s.copyright) << '\n'
              << "  timestamp: " << s.timestamp << '\n'
              << "  version:   " << versionOf(s.versionMajor, s.versionMinor) << '\n'
              << "  sets:      " << (sets.empty() ? "-" : sets) << std::endl;
}

} // namespace

int runInspect(const Options& options) {
    const std::string& path = options.operands[0];
    const LibraryCheck check = checkLibraries({path}, options.timeoutMs).front();
    const std::uint32_t status = check.loads ? 0 : KOV_STATUS_PROVIDER_LOAD_FAILED;
    if (options.json) {
        Json json = beginJson(options.command, status);
        json["path"] = path;
        json["accepted"] = check.loads;
        if (check.loads) describeSubsystem(json, check.description, false);
        else json["reason"] = check.reason;
        json["fault"] = textOrNull(loadFaultName(check.fault));
        printJson(json);
    } else if (check.loads) {
        std::cout << "inspect: " << path << " would be accepted" << '\n';
        describeAsText(check.description);
    } else {
        std::cout << "inspect: " << path << " would be refused" << '\n'
                  << "  reason: " << check.reason << std::endl;
    }
    return exitCodeFor(status);
}

int runRegistryListing(const Options& options) {
    std::vector<RegistryEntry> entries;
    std::string error, userTrouble;
    const bool oneLayer = options.userLayer || options.machineLayer;
    const Layer only = options.userLayer ? Layer::User : Layer::Machine;
    if (oneLayer ? !readLayer(only, entries, error) : !readLayers(entries, error, userTrouble))
        return fail(error);
    // Asked about the registry itself: one that is not there is not an empty one.
    const bool machineExists = !options.userLayer && registryExists(Layer::Machine);
    const bool userExists = !options.machineLayer && registryExists(Layer::User);
    if (options.userLayer && !userExists)
        return fail("the user's registry '" + registryName(Layer::User) +
                    "' does not exist: `kovctl register --user` creates it");
    if (!machineExists && !userExists) return fail(missingRegistry());
    // Shadowed entries are not loaded by the broker, but may be once the user's key goes.
    const std::vector<CheckedEntry> checked = checkEntries(entries, options.timeoutMs);
    bool allLoad = true;
    for (const CheckedEntry& c : checked) allLoad = allLoad && (c.check.loads || c.entry.shadowed);
    // Scripts check the registry with the outcome: 10 when some entry would not load.
    const std::uint32_t status = allLoad ? 0 : KOV_STATUS_PROVIDER_LOAD_FAILED;
    if (options.json) {
        Json json = beginJson(options.command, status);
        json["registry"] = registryName(oneLayer ? only : Layer::Machine);
        if (!oneLayer) {
            json["userRegistry"] = registryName(Layer::User);
            json["userRegistryNote"] = userTrouble.empty() ? Json(nullptr) : Json(userTrouble);
        }
        json["count"] = checked.size();
        json["entries"] = Json::array();
        for (const CheckedEntry& c : checked)
            json["entries"].push_back({{"key", c.entry.key},
                                       {"path", c.entry.path},
                                       {"layer", layerName(c.entry.layer)},
                                       {"shadowed", c.entry.shadowed},
                                       {"loads", c.check.loads},
                                       {"reason", c.check.loads ? Json(nullptr) : Json(c.check.reason)},
                                       {"fault", textOrNull(loadFaultName(c.check.fault))}});
        printJson(json);
    } else {
        if (oneLayer) {
            std::cout << (options.userLayer ? "user registry: " : "registry: ")
                      << registryName(only) << '\n';
        } else {
            // The user's registry is named once it exists, or when it is not used: a machine
            // without user registries reads as before.
            std::cout << "registry: " << registryName() << '\n';
            if (!userTrouble.empty()) std::cout << "user registry: " << userTrouble << '\n';
            else if (userExists) std::cout << "user registry: " << registryName(Layer::User) << '\n';
        }
        if (checked.empty()) std::cout << "no providers registered\n";
        for (const CheckedEntry& c : checked) {
            std::cout << c.entry.key << "  " << c.entry.path << "  "
                      << (c.check.loads ? "loads" : "does not load");
            if (!oneLayer && c.entry.layer == Layer::User) std::cout << "  (user)";
            if (c.entry.shadowed) std::cout << "  (shadowed by the user's key)";
            std::cout << '\n';
            if (!c.check.loads) std::cout << "  reason: " << c.check.reason << '\n';
        }
        std::cout.flush();
    }
    return exitCodeFor(status);
}

} // namespace kovctl
