// Commands that read a record from the broker: list, info, stats, lang.
#include "commands.h"

#include "platform/platform.h"
#include "records.h"
#include "registry_check.h"
#include "registry_view.h"
#include "report.h"
#include "text.h"

#include <algorithm>
#include <iostream>

namespace kovctl {
namespace {

std::string versionText(std::uint16_t major, std::uint16_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

// A provider's handle is what its set entries carry; a provider without sets has none to show.
bool providerHandle(const Subsystem& subsystem, std::uint32_t& handle) {
    if (subsystem.sets.empty()) return false;
    handle = subsystem.sets.front().handle;
    return true;
}

void printTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows)
        for (std::size_t column = 0; column < row.size(); ++column) {
            if (widths.size() <= column) widths.push_back(0);
            widths[column] = std::max(widths[column], row[column].size());
        }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) line += std::string(widths[column] - row[column].size() + 2, ' ');
        }
        std::cout << line << '\n';
    }
    std::cout.flush();
}

// What `list` shows: the broker's providers, each with the registry entry it came from, and the
// entries that did not load.
struct ListView {
    std::vector<Subsystem> providers;
    std::vector<CheckedEntry> entries;
    Listing listing;
    bool showUnloaded = true;
    bool registryExists = true;
    std::string userTrouble; // why the user's registry adds nothing; empty when it is used

    const RegistryEntry* entryOf(std::size_t provider) const {
        const long index = listing.entryOf[provider];
        return index < 0 ? nullptr : &entries[static_cast<std::size_t>(index)].entry;
    }
    // Where a provider came from: the registry, the broker itself (first, serving set 0), or an
    // entry the registry no longer holds (removed since this process loaded it).
    const char* originOf(std::size_t provider) const {
        if (entryOf(provider) != nullptr) return "registry";
        const std::vector<FunctionSet>& sets = providers[provider].sets;
        const auto brokerSet = [](const FunctionSet& set) {
            return set.functionSet == KOV_BROKER_FUNCTION_SET;
        };
        const bool broker = provider == 0 && std::any_of(sets.begin(), sets.end(), brokerSet);
        return broker ? "broker" : "unregistered";
    }
    // The providers in handle order; those without a handle (they serve no set) last.
    std::vector<std::size_t> handleOrder() const {
        std::vector<std::size_t> order(providers.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        const auto handleOf = [&](std::size_t i) {
            std::uint32_t handle = 0;
            return providerHandle(providers[i], handle) ? std::uint64_t{handle} : ~std::uint64_t{0};
        };
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return handleOf(a) < handleOf(b); });
        return order;
    }
    std::string reasonOf(std::size_t entry) const {
        const LibraryCheck& check = entries[entry].check;
        return check.loads ? kNotListedReason : check.reason;
    }
    std::uint32_t status() const {
        return showUnloaded && !listing.notLoaded.empty() ? KOV_STATUS_PROVIDER_LOAD_FAILED : 0;
    }
};

void listAsJson(const Options& options, const ListView& view) {
    Json json = beginJson(options.command, view.status());
    json["registry"] = registryName();
    json["registryExists"] = view.registryExists;
    json["userRegistry"] = registryName(Layer::User);
    json["userRegistryNote"] = view.userTrouble.empty() ? Json(nullptr) : Json(view.userTrouble);
    json["count"] = view.providers.size();
    json["providers"] = Json::array();
    for (const std::size_t i : view.handleOrder()) {
        const Subsystem& subsystem = view.providers[i];
        Json provider;
        std::uint32_t handle = 0;
        provider["handle"] = providerHandle(subsystem, handle) ? Json(handle) : Json(nullptr);
        const RegistryEntry* entry = view.entryOf(i);
        provider["key"] = entry != nullptr ? Json(entry->key) : Json(nullptr);
        provider["path"] = entry != nullptr ? Json(entry->path) : Json(nullptr);
        provider["layer"] = entry != nullptr ? Json(layerName(entry->layer)) : Json(nullptr);
        provider["origin"] = view.originOf(i);
        describeSubsystem(provider, subsystem, true);
        json["providers"].push_back(std::move(provider));
    }
    json["notLoaded"] = view.showUnloaded ? Json::array() : Json(nullptr); // null: not asked for
    if (view.showUnloaded)
        for (const std::size_t e : view.listing.notLoaded)
            json["notLoaded"].push_back({{"key", view.entries[e].entry.key},
                                         {"path", view.entries[e].entry.path},
                                         {"layer", layerName(view.entries[e].entry.layer)},
                                         {"reason", view.reasonOf(e)}});
    printJson(json);
}

// The narrow table's last column, cut short (on a character's boundary) to end by `columns`.
void fitLastColumn(std::vector<std::vector<std::string>>& rows, std::size_t columns) {
    std::size_t used = 0;
    for (std::size_t column = 0; column + 1 < rows.front().size(); ++column) {
        std::size_t width = 0;
        for (const auto& row : rows) width = std::max(width, row[column].size());
        used += width + 2;
    }
    const std::size_t room = columns > used + 12 ? columns - used : 12;
    for (auto& row : rows) {
        std::string& last = row.back();
        if (last.size() <= room) continue;
        std::size_t cut = room - 3;
        while (cut > 0 && (static_cast<unsigned char>(last[cut]) & 0xC0) == 0x80) --cut;
        last = last.substr(0, cut) + "...";
    }
}

// A user's entry is marked as such; the machine's, as before layers, are not.
std::string keyWithLayer(const RegistryEntry& entry) {
    return entry.layer == Layer::User ? entry.key + " (user)" : entry.key;
}

void listAsTable(const ListView& view, bool wide) {
    std::cout << "registry: " << registryName() << (view.registryExists ? "" : " (does not exist)")
              << '\n';
    if (!view.userTrouble.empty()) std::cout << "user registry: " << view.userTrouble << '\n';
    else if (registryExists(Layer::User)) std::cout << "user registry: " << registryName(Layer::User) << '\n';
    std::vector<std::vector<std::string>> rows = {{"HANDLE", "KEY", "FUNCTION SETS", "PRODUCT"}};
    if (wide)
        rows = {{"HANDLE", "KEY", "PATH", "FUNCTION SETS", "PRODUCT", "MAKER", "COPYRIGHT",
                 "TIMESTAMP"}};
    for (const std::size_t i : view.handleOrder()) {
        const Subsystem& subsystem = view.providers[i];
        std::uint32_t handle = 0;
        std::string sets;
        for (const FunctionSet& set : subsystem.sets) {
            if (!sets.empty()) sets += ", ";
            sets += shortHex(set.functionSet) + " v" + versionText(set.major, set.minor);
        }
        const RegistryEntry* entry = view.entryOf(i);
        const std::string origin = view.originOf(i);
        const std::string key = entry != nullptr ? keyWithLayer(*entry)
                                : origin == "broker" ? "(broker)" : "(not registered)";
        std::vector<std::string> row = {
            providerHandle(subsystem, handle) ? std::to_string(handle) : "-", key,
            sets.empty() ? "-" : sets, utf8FromUtf16(subsystem.product)};
        if (wide)
            row = {row[0], row[1], entry != nullptr ? entry->path : "-", row[2], row[3],
                   utf8FromUtf16(subsystem.maker), utf8FromUtf16(subsystem.copyright),
                   subsystem.timestamp};
        rows.push_back(std::move(row));
    }
    if (!wide) fitLastColumn(rows, 80);
    printTable(rows);
    if (!view.showUnloaded || view.listing.notLoaded.empty()) return;
    std::cout << "\nnot loaded:\n";
    for (const std::size_t e : view.listing.notLoaded) {
        std::cout << "  " << keyWithLayer(view.entries[e].entry) << "  " << view.entries[e].entry.path << '\n'
                  << "    reason: " << view.reasonOf(e) << '\n';
    }
    std::cout.flush();
}

} // namespace

void describeSubsystem(Json& json, const Subsystem& subsystem, bool withHandles) {
    json["product"] = utf8FromUtf16(subsystem.product);
    json["maker"] = utf8FromUtf16(subsystem.maker);
    json["copyright"] = utf8FromUtf16(subsystem.copyright);
    json["timestamp"] = subsystem.timestamp;
    json["version"] = versionText(subsystem.versionMajor, subsystem.versionMinor);
    json["sets"] = Json::array();
    for (const FunctionSet& set : subsystem.sets) {
        Json entry = {{"set", set.functionSet}, {"version", versionText(set.major, set.minor)}};
        if (withHandles) entry["handle"] = set.handle;
        json["sets"].push_back(std::move(entry));
    }
}

int runList(const Options& options, const BrokerApi& api) {
    Exchange exchange;
    int exitCode = kExitOk;
    if (!query(options, api, brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_LIST_SUBSYSTEMS),
               exchange, exitCode))
        return exitCode;
    ListView view;
    view.showUnloaded = !options.loadedOnly;
    std::string error;
    const bool readable = parseSubsystemList(payloadOf(exchange.confirm), view.providers, error);
    if (!readable && view.providers.empty()) return fail("malformed reply: " + error);
    // The registry as this process's broker read it a moment ago, each entry checked the same way.
    std::vector<RegistryEntry> entries;
    std::string registryError;
    if (!readRegistry(entries, registryError, &view.userTrouble)) return fail(registryError);
    view.registryExists = registryExists();
    view.entries = checkEntries(entries, options.timeoutMs);
    view.listing = matchListing(view.providers, view.entries);
    // Whatever could be read is printed as text, and the exit code still says something was not;
    // JSON has one object, the error's.
    if (!readable) {
        if (!options.json) listAsTable(view, options.wide);
        return fail("malformed reply: " + error);
    }
    if (options.json) listAsJson(options, view);
    else listAsTable(view, options.wide);
    return exitCodeFor(view.status());
}

bool registryEntryOf(const Options& options, const BrokerApi& api, std::uint32_t handle,
                     RegistryEntry& entry) {
    Exchange reply;
    std::string error;
    if (!exchange(api, brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_LIST_SUBSYSTEMS), options.sync,
                  options.timeoutMs, reply, error) ||
        finalStatus(reply) != 0)
        return false;
    std::vector<Subsystem> providers;
    parseSubsystemList(payloadOf(reply.confirm), providers, error); // what reads is enough
    std::vector<RegistryEntry> entries;
    if (!readRegistry(entries, error)) return false;
    const std::vector<CheckedEntry> checked = checkEntries(entries, options.timeoutMs);
    const Listing listing = matchListing(providers, checked);
    for (std::size_t i = 0; i < providers.size(); ++i) {
        std::uint32_t listed = 0;
        if (!providerHandle(providers[i], listed) || listed != handle || listing.entryOf[i] < 0) continue;
        entry = checked[static_cast<std::size_t>(listing.entryOf[i])].entry;
        return true;
    }
    return false;
}

int runInfo(const Options& options, const BrokerApi& api) {
    Exchange exchange;
    int exitCode = kExitOk;
    if (!query(options, api, brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO),
               exchange, exitCode))
        return exitCode;
    BrokerInfo info;
    std::string error;
    if (!parseBrokerInfo(payloadOf(exchange.confirm), info, error))
        return fail("malformed reply: " + error);
    const std::vector<std::pair<const char*, std::string>> fields = {
        {"product", utf8FromUtf16(info.product)},
        {"maker", utf8FromUtf16(info.maker)},
        {"copyright", utf8FromUtf16(info.copyright)},
        {"timestamp", info.timestamp},
        {"version", versionText(info.versionMajor, info.versionMinor)},
    };
    if (options.json) {
        Json json = beginJson(options.command, 0);
        for (const auto& field : fields) json[field.first] = field.second;
        json["kind"] = info.kind;
        printJson(json);
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const auto& field : fields) rows.push_back({field.first, field.second});
        printTable(rows);
    }
    return kExitOk;
}

int runStats(const Options& options, const BrokerApi& api) {
    Exchange exchange;
    int exitCode = kExitOk;
    if (!query(options, api, brokerRequest(KOV_BROKER_FUNCTION_SET, KOV_FN_GET_STATISTICS),
               exchange, exitCode))
        return exitCode;
    std::vector<Counter> counters;
    std::string error;
    if (!parseStatistics(payloadOf(exchange.confirm), counters, error))
        return fail("malformed reply: " + error);
    // The record's own fields (its length, version and reserved words) are not counters.
    const auto isField = [](const Counter& counter) {
        const std::string name = counter.name;
        return name == "length" || name == "versionMajor" || name == "versionMinor" ||
               name.compare(0, 8, "reserved") == 0;
    };
    const std::uint32_t pid = kov::platform::currentProcessId();
    if (options.json) {
        Json json = beginJson(options.command, 0);
        json["pid"] = pid;
        json["process"] = "kovctl's own";
        json["record"] = Json::object();
        json["statistics"] = Json::object();
        for (const Counter& counter : counters)
            json[isField(counter) ? "record" : "statistics"][counter.name] = counter.value;
        printJson(json);
    } else {
        std::cout << "counters of this kovctl process (pid " << pid
                  << ") alone; kovctl stats --pid PID shows another process's\n";
        std::vector<std::vector<std::string>> rows;
        for (const Counter& counter : counters)
            if (isField(counter)) rows.push_back({"record " + std::string(counter.name), std::to_string(counter.value)});
        for (const Counter& counter : counters)
            if (!isField(counter)) rows.push_back({counter.name, std::to_string(counter.value)});
        printTable(rows);
    }
    return kExitOk;
}

int runLang(const Options& options, const BrokerApi& api) {
    Exchange exchange;
    int exitCode = kExitOk;
    if (!query(options, api, brokerRequest(KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE),
               exchange, exitCode))
        return exitCode;
    std::u16string tag;
    std::string error;
    if (!parseLanguage(payloadOf(exchange.confirm), tag, error))
        return fail("malformed reply: " + error);
    if (options.json) {
        Json json = beginJson(options.command, 0);
        json["language"] = utf8FromUtf16(tag);
        printJson(json);
    } else {
        std::cout << utf8FromUtf16(tag) << std::endl;
    }
    return kExitOk;
}

} // namespace kovctl
