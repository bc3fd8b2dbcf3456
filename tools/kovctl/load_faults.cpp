#include "load_faults.h"

#include "registry_check.h"
#include "report.h"

#include "platform/platform.h"
#include "registry/crash_marks.h"

namespace kovctl {
namespace {

using kov::registry::CrashMark;
using kov::registry::CrashMarks;

CheckedEntry culpritOf(const CrashMark& mark, LoadFault fault, const std::string& reason) {
    LibraryCheck check;
    check.reason = reason;
    check.fault = fault;
    return {{mark.key, mark.path}, check, true};
}

std::vector<CheckedEntry> loadEachAgain(std::uint32_t timeoutMs) {
    std::vector<RegistryEntry> entries;
    std::string error;
    if (!readRegistry(entries, error)) return {};
    std::vector<CheckedEntry> culprits;
    for (CheckedEntry& checked : checkEntries(entries, timeoutMs))
        if (checked.check.fault == LoadFault::Crash || checked.check.fault == LoadFault::Hang)
            culprits.push_back(std::move(checked));
    return culprits;
}

} // namespace

std::vector<CheckedEntry> findStalledLoad(std::uint32_t timeoutMs) {
    if (const auto mark = CrashMarks().ownLoading())
        return {culpritOf(*mark, LoadFault::Hang,
                          "loading it did not finish within " + std::to_string(timeoutMs) +
                              " ms (--timeout)")};
    return loadEachAgain(timeoutMs);
}

std::vector<CheckedEntry> findCrashedLoad(std::uint32_t pid, const std::string& cause,
                                          std::uint32_t timeoutMs) {
    std::vector<CheckedEntry> culprits;
    if (pid != 0)
        for (const CrashMark& record : CrashMarks().recordEnd(pid, cause))
            culprits.push_back(
                culpritOf(record, LoadFault::Crash, "loading it crashed the process: " + cause));
    return culprits.empty() ? loadEachAgain(timeoutMs) : culprits;
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
    std::string remove, enable;
    Json faults = Json::array();
    for (std::size_t i = 0; i < culprits.size(); ++i) {
        const RegistryEntry& entry = culprits[i].entry;
        const LibraryCheck& check = culprits[i].check;
        remove += (i == 0 ? "" : ", ") + std::string("`kovctl remove ") + entry.key + "`";
        if (culprits[i].remembered)
            enable += (enable.empty() ? "" : ", ") + std::string("`kovctl enable ") + entry.key + "`";
        faults.push_back({{"key", entry.key},
                          {"path", entry.path},
                          {"fault", loadFaultName(check.fault)},
                          {"reason", check.reason},
                          {"skipped", culprits[i].remembered}});
    }
    std::string recover;
    if (culprits.empty()) {
        line += "; loaded again one by one, no registered library crashed or hung";
        recover = "`kovctl registry` lists every entry; `kovctl remove KEY` takes one out";
    } else {
        recover = remove + (culprits.size() == 1 ? " takes it" : " take them") +
                  " out of the registry (or move the library aside)";
        // The broker remembers the crash: later processes skip the library until enabled.
        if (!enable.empty())
            recover += "; the broker skips it from now on, and once it is fixed " + enable +
                       " lets it load again";
    }
    return failWith(exitCode, line,
                    {{"registry", registryName()}, {"loadFaults", faults}, {"recover", recover}},
                    "to recover: " + recover);
}

} // namespace kovctl
