#include "registry_view.h"

#include "crash_records.h"
#include "library_checks.h"
#include "registry_check.h"

#include "registry/crash_mark_file.h"
#include "registry/library_probe.h"
#include "registry/provider_loading.h"

#include <algorithm>

namespace kovctl {

const char* const kNotListedReason =
    "kovctl loads it, but the broker's list does not show it: the registry changed after the "
    "broker loaded it, or the library described itself differently to kovctl";

namespace {

namespace platform = kov::platform;

// A key opened for reading only, as the broker loads: a user may list what an administrator
// wrote. Closed on every path.
class ReadKey {
public:
    ReadKey() = default;
    ~ReadKey() {
        if (key_ != nullptr) platform::closeKey(key_);
    }
    ReadKey(const ReadKey&) = delete;
    ReadKey& operator=(const ReadKey&) = delete;

    long open(platform::RegKey parent, const char* name) {
        return platform::openKey(parent, name, &key_);
    }
    platform::RegKey get() const { return key_; }

private:
    platform::RegKey key_ = nullptr;
};

bool servesBrokerSet(const Subsystem& subsystem) {
    for (const FunctionSet& set : subsystem.sets)
        if (set.functionSet == 0) return true;
    return false;
}

} // namespace

LibraryCheck checkLibrary(const std::string& path) {
    LibraryCheck result;
    kov::registry::LibraryProbe probe;
    if (!kov::registry::probeLibrary(path.c_str(), probe)) {
        result.reason = probe.reason;
        return result;
    }
    Bytes& descriptor = result.descriptor;
    descriptor.assign(probe.info.payloadLength - kov::message::kInfoDescriptorStart, 0);
    const bool copied = kov::message::copyDescriptor(probe.info, descriptor.data(), 0);
    result.loadedFrom = platform::modulePath(probe.module);
    kov::registry::returnInfoBlock(probe);
    platform::freeLibrary(probe.module);
    if (!copied) {
        result.reason = "the information block changed while it was being copied";
        return result;
    }
    std::string error;
    if (!parseDescriptor(ByteView(descriptor.data(), descriptor.size()), result.description, error)) {
        result.reason = error; // cannot happen for a block the checker passed; said, not hidden
        return result;
    }
    result.loads = true;
    return result;
}

const char* layerName(Layer layer) { return layer == Layer::User ? "user" : "machine"; }

platform::RegKey layerRoot(Layer layer) {
    return layer == Layer::User ? platform::currentUserKey() : platform::localMachineKey();
}

bool readLayer(Layer layer, std::vector<RegistryEntry>& out, std::string& error) {
    using namespace kov::registry;
    out.clear();
    ReadKey list;
    long rc = list.open(layerRoot(layer),
                        (std::string(kBrokerKey) + "\\" + kProviderListKey).c_str());
    if (rc == platform::kRegFileNotFound) return true; // nothing registered yet
    char keyName[kKeyNameChars];
    for (std::uint32_t k = 0; rc == platform::kRegOk; ++k) {
        rc = platform::enumKey(list.get(), k, keyName, kKeyNameChars);
        if (rc != platform::kRegOk) break;
        ReadKey provider;
        rc = provider.open(list.get(), keyName);
        char valueName[kValueNameChars];
        std::uint8_t data[kValueDataBytes];
        for (std::uint32_t v = 0; rc == platform::kRegOk; ++v) {
            rc = platform::enumValue(provider.get(), v, valueName, kValueNameChars, data,
                                     kValueDataBytes);
            if (rc == platform::kRegOk) out.push_back({keyName, valueName, layer});
        }
        // The broker ends a key's walk at a name too long for its buffer, and goes on.
        if (rc == platform::kRegNoMoreItems || rc == platform::kRegMoreData) rc = platform::kRegOk;
    }
    // ...and ends the whole walk at a key name too long (kRegMoreData): so does this one.
    if (rc == platform::kRegNoMoreItems || rc == platform::kRegMoreData) return true;
    error = registryProblem(rc, layer);
    out.clear();
    return false;
}

std::string userLayerUnused() {
    const platform::UserLayerCheck check = platform::checkUserLayer();
    if (check.state == platform::UserLayerCheck::State::NotNamed)
        return "no place is known for the user's registry (HOME is not set, or "
               "KOV_BROKER_USER_REGISTRY is set but empty)";
    return check.reason;
}

bool readLayers(std::vector<RegistryEntry>& out, std::string& error, std::string& userTrouble) {
    std::vector<RegistryEntry> user;
    userTrouble = userLayerUnused();
    // An elevated program is said to ignore the user's registry only where there is one: an
    // administrator's elevated shell (every program under Wine) without one ignores nothing.
    const bool elevated =
        platform::checkUserLayer().state == platform::UserLayerCheck::State::Elevated;
    if (elevated && !registryExists(Layer::User)) userTrouble.clear();
    else if (userTrouble.empty() && !readLayer(Layer::User, user, userTrouble))
        userTrouble += "; the broker loads the machine's providers alone";
    if (!readLayer(Layer::Machine, out, error)) return false;
    for (RegistryEntry& entry : out)
        for (const RegistryEntry& mine : user)
            entry.shadowed = entry.shadowed || sameKey(entry.key, mine.key);
    out.insert(out.end(), user.begin(), user.end());
    return true;
}

bool readRegistry(std::vector<RegistryEntry>& out, std::string& error, std::string* userTrouble) {
    std::string trouble;
    if (!readLayers(out, error, trouble)) return false;
    out.erase(std::remove_if(out.begin(), out.end(), [](const RegistryEntry& e) { return e.shadowed; }),
              out.end());
    if (userTrouble != nullptr) *userTrouble = trouble;
    return true;
}

bool registryExists(Layer layer) {
    ReadKey broker;
    return broker.open(layerRoot(layer), kov::registry::kBrokerKey) == platform::kRegOk;
}

std::vector<CheckedEntry> checkEntries(const std::vector<RegistryEntry>& entries,
                                       std::uint32_t timeoutMs) {
    // A library that crashed (or hung in) an earlier process is not loaded here either.
    std::vector<std::string> skipped, paths;
    for (const RegistryEntry& entry : entries) {
        skipped.push_back(crashRecordReason(entry.key, entry.path));
        if (skipped.back().empty()) paths.push_back(entry.path);
    }
    const std::vector<LibraryCheck> checks = checkLibraries(paths, timeoutMs);
    std::vector<CheckedEntry> checked;
    std::size_t next = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (skipped[i].empty()) {
            checked.push_back({entries[i], checks[next++]});
            continue;
        }
        LibraryCheck check;
        check.reason = std::move(skipped[i]);
        check.fault = LoadFault::Skipped;
        checked.push_back({entries[i], std::move(check), true});
    }
    return checked;
}

std::vector<std::string> librariesNamed(const std::vector<std::string>& held, const std::string& given) {
    if (given.empty()) return held;
    std::vector<std::string> keys{platform::pathKey(given)};
    if (given.find_first_of("/\\") == std::string::npos)
        keys.push_back(platform::pathKey(platform::programDirectory() + given));
    std::vector<std::string> named;
    for (const std::string& path : held) {
        bool match = path == given;
        const std::string key = platform::pathKey(path);
        for (const std::string& k : keys) match = match || (!key.empty() && key == k);
        if (match) named.push_back(path);
    }
    return named;
}

bool sameKey(const std::string& a, const std::string& b) { return kov::registry::sameKeyName(a, b); }

bool sameDescription(const Subsystem& a, const Subsystem& b) {
    return a.product == b.product && a.maker == b.maker && a.copyright == b.copyright &&
           a.versionMajor == b.versionMajor && a.versionMinor == b.versionMinor && sameSets(a, b);
}

bool sameSets(const Subsystem& a, const Subsystem& b) {
    if (a.sets.size() != b.sets.size()) return false;
    for (std::size_t i = 0; i < a.sets.size(); ++i) {
        if (a.sets[i].functionSet != b.sets[i].functionSet || a.sets[i].major != b.sets[i].major ||
            a.sets[i].minor != b.sets[i].minor)
            return false;
    }
    return true;
}

Listing matchListing(const std::vector<Subsystem>& listed, const std::vector<CheckedEntry>& entries) {
    Listing listing;
    listing.entryOf.assign(listed.size(), -1);
    // The libraries in load order: the list after the broker's own provider, reversed.
    const std::size_t first = !listed.empty() && servesBrokerSet(listed.front()) ? 1 : 0;
    std::vector<std::size_t> libraries;
    for (std::size_t i = listed.size(); i > first; --i) libraries.push_back(i - 1);
    std::vector<std::size_t> accepted;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].check.loads) accepted.push_back(i);

    std::vector<bool> shown(entries.size(), false);
    const auto pair = [&](std::size_t library, std::size_t entry) {
        listing.entryOf[library] = static_cast<long>(entry);
        shown[entry] = true;
    };
    // In order, by description; what the registry no longer holds, or the list does not show
    // (registered since), is passed over.
    std::size_t next = 0;
    std::vector<std::size_t> unpairedLibraries;
    for (const std::size_t library : libraries) {
        bool paired = false;
        for (std::size_t a = next; a < accepted.size() && !paired; ++a) {
            if (!sameDescription(listed[library], entries[accepted[a]].check.description)) continue;
            pair(library, accepted[a]);
            next = a + 1;
            paired = true;
        }
        if (!paired) unpairedLibraries.push_back(library);
    }
    // A library may describe itself differently each time it is asked (a counter, a clock in its
    // strings): as many left on both sides, serving the same sets, pair in order.
    std::vector<std::size_t> unpairedEntries;
    for (const std::size_t a : accepted)
        if (!shown[a]) unpairedEntries.push_back(a);
    if (unpairedEntries.size() == unpairedLibraries.size()) {
        for (std::size_t i = 0; i < unpairedLibraries.size(); ++i)
            if (sameSets(listed[unpairedLibraries[i]], entries[unpairedEntries[i]].check.description))
                pair(unpairedLibraries[i], unpairedEntries[i]);
    }
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (!shown[i]) listing.notLoaded.push_back(i);
    return listing;
}

} // namespace kovctl
