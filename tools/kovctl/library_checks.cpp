#include "library_checks.h"

#include "args.h"
#include "copies.h"
#include "text.h"

#include <algorithm>

namespace kovctl {
namespace {

namespace platform = kov::platform;

// Paths per copy: a Windows command line holds 32767 characters.
constexpr std::size_t kCommandLineBudget = 24000;

// Why the library being loaded when the copy ended has no verdict.
void explainEnd(const platform::ChildEnd& end, std::uint32_t timeoutMs, LibraryCheck& check) {
    switch (end.kind) {
    case platform::ChildEnd::Kind::Crashed:
        check.fault = LoadFault::Crash;
        check.reason = "loading it crashed the process: " + platform::crashName(end.code);
        break;
    case platform::ChildEnd::Kind::TimedOut:
        check.fault = LoadFault::Hang;
        check.reason = "loading it did not finish within " + std::to_string(timeoutMs) +
                       " ms (--timeout)";
        break;
    case platform::ChildEnd::Kind::NotStarted:
        check.reason = "kovctl cannot start a process of its own to load it in: " + end.error;
        break;
    case platform::ChildEnd::Kind::Exited:
        check.reason = "the process loading it ended (exit code " + std::to_string(end.code) +
                       ") before the library described itself";
        break;
    }
}

void takeVerdict(const Json& record, LibraryCheck& check) {
    check.loads = record.value("loads", false);
    check.reason = unpackText(record, "reason");
    check.loadedFrom = unpackText(record, "from");
    if (!check.loads) return;
    std::string error;
    if (!parseHex(record.value("descriptor", std::string()), check.descriptor) ||
        !parseDescriptor(ByteView(check.descriptor), check.description, error)) {
        check.loads = false;
        check.reason = "kovctl could not read the description its copy sent: " + error;
    }
}

} // namespace

const char* loadFaultName(LoadFault fault) {
    switch (fault) {
    case LoadFault::Crash: return "crash";
    case LoadFault::Hang: return "hang";
    case LoadFault::Skipped: return "skipped";
    case LoadFault::None: break;
    }
    return nullptr;
}

std::vector<LibraryCheck> checkLibraries(const std::vector<std::string>& paths,
                                         std::uint32_t timeoutMs) {
    std::vector<LibraryCheck> checks(paths.size());
    std::size_t next = 0;
    while (next < paths.size()) {
        std::vector<std::string> batch;
        std::size_t budget = 0;
        for (std::size_t i = next; i < paths.size() && budget < kCommandLineBudget; ++i) {
            batch.push_back(paths[i]);
            budget += paths[i].size() + 3;
        }
        std::size_t loading = next; // the library the copy is at: begun, or the next to begin
        // --timeout 0 gives up at once, as it does for a request; 0 would mean no limit here.
        const platform::ChildEnd end =
            runCopy(kProbeRole, batch, std::max(timeoutMs, 1u), true, [&](const Json& record) {
                const std::size_t at = next + record.value("i", std::size_t{0});
                if (at >= next + batch.size()) return;
                if (record.value("r", "") == "begin") loading = at;
                if (record.value("r", "") == "verdict") {
                    takeVerdict(record, checks[at]);
                    loading = at + 1;
                }
            });
        const std::size_t batchEnd = next + batch.size();
        if (loading >= batchEnd) {
            next = batchEnd;
            continue;
        }
        explainEnd(end, timeoutMs, checks[loading]);
        // Without a process to load them in, none of the others can be checked either.
        if (end.kind == platform::ChildEnd::Kind::NotStarted) {
            for (std::size_t i = loading + 1; i < paths.size(); ++i) checks[i] = checks[loading];
            break;
        }
        next = loading + 1;
    }
    return checks;
}

int runProbe(const std::vector<std::string>& paths) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
        sendRecord({{"r", "begin"}, {"i", i}});
        const LibraryCheck check = checkLibrary(paths[i]);
        sendRecord({{"r", "verdict"},
                    {"i", i},
                    {"loads", check.loads},
                    {"reason", packText(check.reason)},
                    {"from", packText(check.loadedFrom)},
                    {"descriptor", hexString(check.descriptor.data(), check.descriptor.size())}});
    }
    return 0;
}

} // namespace kovctl
