// Commands whose answer is a status: reload, register, remove, check-lang.
#include "commands.h"

#include "library_checks.h"
#include "records.h"
#include "registry_check.h"
#include "registry_view.h"
#include "report.h"
#include "text.h"

#include "platform/platform.h"
#include "registry/crash_marks.h"
#include "registry/provider_loading.h"
#include "registry/registry_key.h"

namespace kovctl {
namespace {

// Sends `fields` and reports the confirm's status, or whatever went wrong before one came.
int sendForStatus(const Options& options, const BrokerApi& api, const RequestFields& fields,
                  const Extras& extras) {
    Exchange answer;
    int exitCode = kExitOk;
    if (!query(options, api, fields, answer, exitCode, extras)) return exitCode;
    return reportStatus(options, 0, extras);
}

// One RegisterProvider request; false when no usable answer came (reported, exit code set).
bool sendRegistration(const Options& options, const BrokerApi& api, const std::string& key,
                      const std::string& path, std::uint32_t& status, int& exitCode) {
    std::u16string wideKey, widePath;
    // Names read from the registry or the loader are in the same code page as the arguments.
    if (!utf16FromArgument(key, wideKey) || !utf16FromArgument(path, widePath)) {
        exitCode = fail("'" + path + "' is not valid text in the system's code page");
        return false;
    }
    Exchange exchange;
    if (!answer(options, api,
                brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_REGISTER_PROVIDER,
                              registrationPayload(wideKey, widePath, true)),
                exchange, exitCode))
        return false;
    status = finalStatus(exchange);
    return true;
}

// Registration and removal fail with 8 (or 9, 7) when this process may not change the registry:
// say so, with the registry's name, rather than leave the bare status.
void explainWriteFailure(std::uint32_t status, Extras& extras, Layer layer = Layer::Machine) {
    if (status != KOV_STATUS_REGISTRY_ERROR && status != KOV_STATUS_REGISTER_WRITE_FAILED &&
        status != KOV_STATUS_DEREGISTER_FAILED)
        return;
    const std::string problem = writeAccessProblem(layer);
    if (!problem.empty()) extras.push_back({"reason", problem});
}

kov::platform::RegKey rootOf(Layer layer) {
    return layer == Layer::User ? kov::platform::currentUserKey()
                                : kov::platform::localMachineKey();
}

// The registry a command writes: the one asked for; else the machine's when this process may
// write it, and the user's own when not (and it is usable), which is then said.
Layer chosenLayer(const Options& options, Extras& extras) {
    if (options.userLayer) return Layer::User;
    if (options.machineLayer) return Layer::Machine;
    const std::string machineProblem = writeAccessProblem(Layer::Machine);
    if (machineProblem.empty() || !writeAccessProblem(Layer::User).empty()) return Layer::Machine;
    extras.push_back({"note", machineProblem + "; using the user's own registry instead, for this "
                              "user's programs alone (--machine to insist)"});
    return Layer::User;
}

void nameRegistry(Layer layer, Extras& extras) {
    extras.push_back({"registry", registryName(layer)});
    extras.push_back({"layer", layerName(layer)});
}

// Registers in the user's own registry as the broker registers in the machine's (status codes
// alike), without a broker: the library was checked already, and programs load it from their
// next load (or Reload) on.
std::uint32_t registerForUser(const std::string& key, const std::string& path) {
    namespace platform = kov::platform;
    kov::registry::RegistryKey broker, list, provider;
    if (!broker.open(platform::currentUserKey(), kov::registry::kBrokerKey) ||
        !list.open(broker.get(), kov::registry::kProviderListKey) ||
        !provider.open(list.get(), key.c_str()))
        return KOV_STATUS_REGISTRY_ERROR;
    std::uint32_t status = KOV_STATUS_ALREADY_REGISTERED;
    if (!provider.existedBefore()) {
        status = platform::setDwordValue(provider.get(), path.c_str(), 0) == platform::kRegOk
                     ? KOV_STATUS_OK
                     : KOV_STATUS_REGISTER_WRITE_FAILED;
    }
    platform::flushKey(provider.get());
    std::uint32_t values = 0;
    const bool counted = platform::queryValueCount(provider.get(), &values) == platform::kRegOk;
    provider.close();
    if (counted && values == 0) platform::deleteKey(list.get(), key.c_str());
    // Registering again enables a library a crash record held back, as the broker's does.
    if (status == KOV_STATUS_OK) kov::registry::CrashMarks().enable(key, path);
    return status;
}

std::vector<std::string> librariesOf(const std::vector<RegistryEntry>& entries,
                                     const std::string& key, std::string& storedKey) {
    std::vector<std::string> held;
    for (const RegistryEntry& entry : entries) {
        if (!sameKey(entry.key, key)) continue;
        storedKey = entry.key;
        held.push_back(entry.path);
    }
    return held;
}

std::string versionOf(const FunctionSet& set) {
    return "v" + std::to_string(set.major) + "." + std::to_string(set.minor);
}

// `send --set` needs exactly one provider per set: warn of every registered library that already
// serves one of the new library's sets.
void warnOfSharedSets(const Options& options, const Subsystem& added, Extras& extras) {
    std::vector<RegistryEntry> entries;
    std::string error;
    if (!readRegistry(entries, error)) return; // the broker will say what is wrong
    for (const CheckedEntry& other : checkEntries(entries, options.timeoutMs)) {
        if (!other.check.loads) continue;
        for (const FunctionSet& set : added.sets)
            for (const FunctionSet& served : other.check.description.sets)
                if (set.functionSet == served.functionSet)
                    extras.push_back({"warning", "key '" + other.entry.key + "' (" +
                                                     other.entry.path + ") serves function set " +
                                                     shortHex(set.functionSet) + " already (" +
                                                     versionOf(served) + "); `kovctl send --set " +
                                                     shortHex(set.functionSet) +
                                                     "` will then need --provider"});
    }
}

// Takes `path` out of the provider key `key` as the broker's registration does, loading nothing:
// 8 when the keys cannot be opened for writing, 7 when the library is not there to delete; the
// key goes once it names no library.
std::uint32_t removeFromRegistry(const std::string& key, const std::string& path, Layer layer) {
    namespace platform = kov::platform;
    kov::registry::RegistryKey broker, list, provider;
    if (!broker.open(rootOf(layer), kov::registry::kBrokerKey) ||
        !list.open(broker.get(), kov::registry::kProviderListKey) ||
        !provider.open(list.get(), key.c_str()))
        return KOV_STATUS_REGISTRY_ERROR;
    const long deleted = platform::deleteValue(provider.get(), path.c_str());
    platform::flushKey(provider.get());
    std::uint32_t values = 0;
    const bool counted = platform::queryValueCount(provider.get(), &values) == platform::kRegOk;
    provider.close();
    if (counted && values == 0) platform::deleteKey(list.get(), key.c_str());
    if (deleted != platform::kRegOk) return KOV_STATUS_DEREGISTER_FAILED;
    // Nor does it keep a crash record that a later registration of the same library would meet.
    kov::registry::CrashMarks().enable(key, path);
    return KOV_STATUS_OK;
}

} // namespace

int runRegister(const Options& options, const BrokerApi& api) {
    const std::string& key = options.operands[0];
    const std::string& given = options.operands[1];
    Extras extras{{"key", key}};
    // What the broker would refuse is refused here, with the reason, before anything is written.
    const LibraryCheck check = checkLibraries({given}, options.timeoutMs).front();
    if (!check.loads) {
        extras.push_back({"path", given});
        extras.push_back({"reason", check.reason});
        return reportStatus(options, KOV_STATUS_PROVIDER_LOAD_FAILED, extras);
    }
    // A relative path would be resolved by every process from its own folder: store the file this
    // process found.
    std::string path = given;
    if (kov::platform::isRelativePath(given.c_str())) {
        const std::string full =
            kov::platform::absolutePath(check.loadedFrom.empty() ? given : check.loadedFrom);
        if (!full.empty() && full != given) {
            path = full;
            extras.push_back({"givenPath", given});
            extras.push_back({"note", "the path is relative; registered as " + full +
                                          ", the file it names from here"});
        }
    }
    extras.insert(extras.begin() + 1, {"path", path});
    const Layer layer = chosenLayer(options, extras);
    nameRegistry(layer, extras);
    warnOfSharedSets(options, check.description, extras);

    std::uint32_t status = 0;
    int exitCode = kExitOk;
    if (layer == Layer::User) {
        // Written where the broker would not read it (an elevated kovctl, a registry others may
        // write), it would do nothing: refused with the reason instead.
        const std::string problem = writeAccessProblem(Layer::User);
        status = problem.empty() ? registerForUser(key, path)
                                 : std::uint32_t{KOV_STATUS_REGISTRY_ERROR};
    } else if (!sendRegistration(options, api, key, path, status, exitCode)) {
        return exitCode;
    }
    if (status == KOV_STATUS_PROVIDER_LOAD_FAILED) {
        const std::string reason = checkLibraries({path}, options.timeoutMs).front().reason;
        if (!reason.empty()) extras.push_back({"reason", reason});
    } else if (status == KOV_STATUS_ALREADY_REGISTERED) {
        std::vector<RegistryEntry> entries;
        std::string error, storedKey;
        readLayer(layer, entries, error);
        extras.push_back({"reason", "the provider key '" + key + "' exists already; remove it "
                                    "first, or choose another key"});
        for (const std::string& held : librariesOf(entries, key, storedKey))
            extras.push_back({"held", held});
    }
    explainWriteFailure(status, extras, layer);
    return reportStatus(options, status, extras);
}

int runRemove(const Options& options) {
    const std::string& key = options.operands[0];
    const std::string given = options.operands.size() > 1 ? options.operands[1] : std::string();
    Extras extras{{"key", key}};
    if (!given.empty()) extras.push_back({"path", given});
    std::vector<RegistryEntry> machine, user;
    std::string error, storedKey = key;
    if (!options.userLayer && !readLayer(Layer::Machine, machine, error)) return fail(error);
    if (!options.machineLayer && !readLayer(Layer::User, user, error)) {
        if (options.userLayer) return fail(error);
        user.clear(); // a user's registry that cannot be read holds nothing to remove
    }
    const bool inMachine = !librariesOf(machine, key, storedKey).empty();
    const bool inUser = !librariesOf(user, key, storedKey).empty();
    // The registry asked for; else the one that holds the key; where both do, as register picks.
    Layer layer = options.userLayer ? Layer::User : Layer::Machine;
    if (!options.userLayer && !options.machineLayer && inUser) {
        Extras ignored;
        layer = !inMachine ? Layer::User : chosenLayer(options, ignored);
        if (inMachine)
            extras.push_back({"note", std::string("the key is in both registries; removing it from "
                                                  "the ") +
                                          layerName(layer) + "'s (--user or --machine to choose)"});
    }
    const std::vector<std::string> held =
        librariesOf(layer == Layer::User ? user : machine, key, storedKey);
    nameRegistry(layer, extras);
    // Nothing to remove: said here, with what there is, before anything is sent.
    if (held.empty()) {
        const bool both = !options.userLayer && !options.machineLayer;
        extras.push_back({"reason", "there is no provider key '" + key + "' in the registry '" +
                                        registryName(layer) + "'" +
                                        (both ? " nor in the user's '" + registryName(Layer::User) + "'"
                                              : std::string()) +
                                        " (see kovctl registry)"});
        return reportStatus(options, KOV_STATUS_DEREGISTER_FAILED, extras);
    }
    const std::vector<std::string> targets = librariesNamed(held, given);
    if (targets.empty()) {
        const std::string full = kov::platform::absolutePath(given);
        extras.push_back({"reason", "the provider key '" + storedKey + "' lists no library '" +
                                        given + "'" +
                                        (full != given ? " (compared as " + full + ")" : "")});
        for (const std::string& path : held) extras.push_back({"held", path});
        return reportStatus(options, KOV_STATUS_DEREGISTER_FAILED, extras);
    }
    std::uint32_t status = 0;
    for (const std::string& path : targets) {
        status = removeFromRegistry(storedKey, path, layer);
        if (status != 0) break;
        extras.push_back({"removed", path});
    }
    explainWriteFailure(status, extras, layer);
    return reportStatus(options, status, extras);
}

int runReload(const Options& options, const BrokerApi& api) {
    return sendForStatus(options, api, brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_RELOAD), {});
}

int runCheckLang(const Options& options, const BrokerApi& api) {
    return sendForStatus(options, api,
                         brokerRequest(KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_CHECK_LANGUAGE,
                                       checkLanguagePayload(options.wideOperands[0])),
                         {{"tag", options.operands[0]}});
}

} // namespace kovctl
