// Commands that need no broker: inspect loads a library the way the broker would, registry reads
// the provider list the broker loads from. Both run the broker's own loading code in this process.
#include "commands.h"

#include "records.h"
#include "registry/provider_loading.h"
#include "registry/registry_key.h"
#include "report.h"
#include "text.h"

#include <iostream>

namespace kovctl {
namespace {

using kov::registry::LibraryProbe;

// Loads `path` as the broker would; on success decodes its description through the same copy
// the broker makes. The library is unloaded again either way.
bool inspectLibrary(const std::string& path, Subsystem& subsystem, std::string& reason) {
    LibraryProbe probe;
    if (!kov::registry::probeLibrary(path.c_str(), probe)) {
        reason = probe.reason;
        return false;
    }
    Bytes descriptor(probe.info.payloadLength - kov::message::kInfoDescriptorStart, 0);
    bool ok = kov::message::copyDescriptor(probe.info, descriptor.data(), 0);
    kov::registry::returnInfoBlock(probe);
    kov::platform::freeLibrary(probe.module);
    if (!ok) {
        reason = "the information block changed while it was being copied";
        return false;
    }
    std::string error;
    if (!parseDescriptor(ByteView(descriptor.data(), descriptor.size()), subsystem, error)) {
        reason = error; // cannot happen for a block the checker passed; said rather than hidden
        return false;
    }
    return true;
}

std::string versionOf(std::uint16_t major, std::uint16_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

void describeAsText(const Subsystem& s) {
    std::string sets;
    for (const FunctionSet& set : s.sets) {
        if (!sets.empty()) sets += ", ";
        sets += hex32(set.functionSet) + " v" + versionOf(set.major, set.minor);
    }
    std::cout << "  product:   " << utf8FromUtf16(s.product) << '\n'
              << "  maker:     " << utf8FromUtf16(s.maker) << '\n'
              << "  copyright: " << utf8FromUtf16(s.copyright) << '\n'
              << "  timestamp: " << s.timestamp << '\n'
              << "  version:   " << versionOf(s.versionMajor, s.versionMinor) << '\n'
              << "  sets:      " << (sets.empty() ? "-" : sets) << std::endl;
}

struct RegistryEntry {
    std::string key;
    std::string path;
};

// Every value under every key of the provider list, in the order the broker loads them.
bool readProviderList(std::vector<RegistryEntry>& out, std::string& error) {
    using namespace kov::registry;
    RegistryKey broker, list;
    if (!broker.open(kov::platform::localMachineKey(), kBrokerKey) ||
        !list.open(broker.get(), kProviderListKey)) {
        error = "the registry's provider list cannot be opened";
        return false;
    }
    char keyName[kKeyNameChars];
    for (std::uint32_t k = 0;; ++k) {
        if (kov::platform::enumKey(list.get(), k, keyName, kKeyNameChars) != kov::platform::kRegOk)
            break;
        RegistryKey provider;
        if (!provider.open(list.get(), keyName)) continue;
        char valueName[kValueNameChars];
        std::uint8_t data[kValueDataBytes];
        for (std::uint32_t v = 0;; ++v) {
            if (kov::platform::enumValue(provider.get(), v, valueName, kValueNameChars, data,
                                         kValueDataBytes) != kov::platform::kRegOk)
                break;
            out.push_back({keyName, valueName});
        }
    }
    return true;
}

} // namespace

std::string refusalReason(const std::string& path) {
    Subsystem ignored;
    std::string reason;
    return inspectLibrary(path, ignored, reason) ? std::string() : reason;
}

int runInspect(const Options& options) {
    const std::string& path = options.operands[0];
    Subsystem subsystem;
    std::string reason;
    const bool accepted = inspectLibrary(path, subsystem, reason);
    const std::uint32_t status = accepted ? 0 : KOV_STATUS_PROVIDER_LOAD_FAILED;
    if (options.json) {
        JsonWriter json;
        beginJson(json, options.command, status);
        json.field("path", path);
        json.boolean("accepted", accepted);
        if (accepted) describeSubsystem(json, subsystem, false);
        else json.field("reason", reason);
        printJson(json);
    } else if (accepted) {
        std::cout << "inspect: " << path << " would be accepted" << '\n';
        describeAsText(subsystem);
    } else {
        std::cout << "inspect: " << path << " would be refused" << '\n'
                  << "  reason: " << reason << std::endl;
    }
    return accepted ? kExitOk : kExitStatus;
}

int runRegistryListing(const Options& options) {
    std::vector<RegistryEntry> entries;
    std::string error;
    if (!readProviderList(entries, error)) return fail(error);
    bool allLoad = true;
    std::vector<std::string> reasons;
    for (const RegistryEntry& entry : entries) {
        reasons.push_back(refusalReason(entry.path));
        allLoad = allLoad && reasons.back().empty();
    }
    if (options.json) {
        JsonWriter json;
        beginJson(json, options.command, 0);
        json.field("count", std::uint64_t{entries.size()});
        json.openArray("entries");
        for (std::size_t i = 0; i < entries.size(); ++i) {
            json.openObject();
            json.field("key", entries[i].key);
            json.field("path", entries[i].path);
            json.boolean("loads", reasons[i].empty());
            if (reasons[i].empty()) json.null("reason");
            else json.field("reason", reasons[i]);
            json.close();
        }
        json.close();
        printJson(json);
    } else {
        if (entries.empty()) std::cout << "registry: no providers registered\n";
        for (std::size_t i = 0; i < entries.size(); ++i) {
            std::cout << entries[i].key << "  " << entries[i].path << "  "
                      << (reasons[i].empty() ? "loads" : "does not load") << '\n';
            if (!reasons[i].empty()) std::cout << "  reason: " << reasons[i] << '\n';
        }
        std::cout.flush();
    }
    // Nonzero when some entry would not load: scripts can check the registry with it.
    return allLoad ? kExitOk : kExitStatus;
}

} // namespace kovctl
