#include "copies.h"

#include "args.h"
#include "library_checks.h"
#include "registry_view.h"
#include "run.h"
#include "text.h"
#include "worker.h"

#include <algorithm>
#include <iostream>

namespace kovctl {
namespace {

std::string& helperOverride() {
    static std::string path;
    return path;
}

bool& copyStarted() {
    static bool started = false;
    return started;
}

// Prints the key names of both registries (those remove may take), each once, one a line;
// nothing when there are none.
int listKeys() {
    kov::platform::setRegistryWait(1000); // a shell waits for this
    std::vector<RegistryEntry> entries;
    std::string error, userTrouble;
    if (!readLayers(entries, error, userTrouble)) return 3;
    std::vector<std::string> printed;
    for (const RegistryEntry& entry : entries) {
        const auto same = [&](const std::string& key) { return sameKey(key, entry.key); };
        if (std::any_of(printed.begin(), printed.end(), same)) continue;
        std::cout << entry.key << '\n';
        printed.push_back(entry.key);
    }
    return 0;
}

} // namespace

bool isRole(const std::vector<std::string>& words) {
    if (words.empty()) return false;
    for (const char* role : {kProbeRole, kWorkerRole, kHolderRole, kKeysRole})
        if (words.front() == role) return true;
    return false;
}

int runRole(const std::vector<std::string>& words) {
    if (words.front() == kKeysRole) return listKeys();
    if (words.size() < 2 || !beginCopy(words[1])) {
        std::cerr << "kovctl: " << words.front() << " is kovctl's own, for its copies\n";
        return 1;
    }
    const std::vector<std::string> rest(words.begin() + 2, words.end());
    if (words.front() == kProbeRole) return runProbe(rest);
    if (words.front() == kHolderRole) return runHolder(rest);
    return runCommandLine(rest);
}

std::string helperProgram() {
    return helperOverride().empty() ? kov::platform::programPath() : helperOverride();
}

void setHelperProgram(const std::string& path) { helperOverride() = path; }

kov::platform::ChildEnd runCopy(const char* role, const std::vector<std::string>& arguments,
                                std::uint32_t silenceMs, bool outputToError,
                                const RecordHandler& onRecord) {
    std::vector<std::string> words{role, kov::platform::kReportChannelWord};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::string pending;
    const auto sink = [&](const char* bytes, std::size_t length) {
        pending.append(bytes, length);
        for (std::size_t end = pending.find('\n'); end != std::string::npos;
             end = pending.find('\n')) {
            const Json record = Json::parse(pending.substr(0, end), nullptr, false);
            pending.erase(0, end + 1);
            if (record.is_object() && onRecord) onRecord(record);
        }
    };
    return kov::platform::runChild(helperProgram(), words, silenceMs, outputToError, sink);
}

bool beginCopy(const std::string& channel) {
    if (!kov::platform::takeReportChannel(channel)) return false;
    kov::platform::endQuietlyOnCrash();
    copyStarted() = true;
    // Its id names the crash marks the broker leaves in it, should it die while loading.
    sendRecord({{"r", "start"}, {"pid", kov::platform::currentProcessId()}});
    return true;
}

void sendRecord(const Json& record) {
    if (copyStarted()) kov::platform::reportToParent(jsonLine(record) + "\n");
}

bool isCopy() { return copyStarted(); }

std::string packText(const std::string& text) {
    return hexString(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string unpackText(const Json& record, const char* member) {
    const Json& value = record.contains(member) ? record[member] : Json();
    Bytes bytes;
    if (!value.is_string() || !parseHex(value.get<std::string>(), bytes)) return {};
    return std::string(bytes.begin(), bytes.end());
}

} // namespace kovctl
