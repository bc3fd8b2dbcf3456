#include "load_faults.h"

#include "registry_check.h"
#include "report.h"

namespace kovctl {

std::vector<CheckedEntry> findLoadCulprits(std::uint32_t timeoutMs) {
    // Crash marks: once the broker keeps a per-user record of the library it was loading when a
    // process died, take the key and path from that record here and load nothing again; until
    // then every registered library is loaded once more, each in a copy of kovctl.
    std::vector<RegistryEntry> entries;
    std::string error;
    if (!readRegistry(entries, error)) return {};
    std::vector<CheckedEntry> culprits;
    for (CheckedEntry& checked : checkEntries(entries, timeoutMs))
        if (checked.check.fault != LoadFault::None) culprits.push_back(std::move(checked));
    return culprits;
}

std::string stalledLoad(std::uint32_t timeoutMs) {
    return "no answer within " + std::to_string(timeoutMs) +
           " ms: the broker did not finish loading its providers from the registry '" +
           registryName() + "'";
}

std::string loadFaultLine(const std::string& what, const std::vector<CheckedEntry>& culprits) {
    std::string line = what;
    for (std::size_t i = 0; i < culprits.size(); ++i)
        line += (i == 0 ? ": key '" : "; key '") + culprits[i].entry.key + "' (" +
                culprits[i].entry.path + "): " + culprits[i].check.reason;
    return line;
}

int reportLoadFault(int exitCode, const std::string& what, const std::vector<CheckedEntry>& culprits) {
    std::string line = loadFaultLine(what, culprits);
    std::string recover;
    Json faults = Json::array();
    for (std::size_t i = 0; i < culprits.size(); ++i) {
        const RegistryEntry& entry = culprits[i].entry;
        const LibraryCheck& check = culprits[i].check;
        recover += (i == 0 ? "" : ", ") + std::string("`kovctl remove ") + entry.key + "`";
        faults.push_back({{"key", entry.key},
                          {"path", entry.path},
                          {"fault", loadFaultName(check.fault)},
                          {"reason", check.reason}});
    }
    if (culprits.empty()) {
        line += "; loaded again one by one, no registered library crashed or hung";
        recover = "`kovctl registry` lists every entry; `kovctl remove KEY` takes one out";
    } else {
        recover += (culprits.size() == 1 ? " takes it" : " take them") +
                   std::string(" out of the registry (or move the library aside)");
    }
    return failWith(exitCode, line,
                    {{"registry", registryName()}, {"loadFaults", faults}, {"recover", recover}},
                    "to recover: " + recover);
}

} // namespace kovctl
