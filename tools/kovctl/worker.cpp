#include "worker.h"

#include "commands.h"
#include "copies.h"
#include "load_faults.h"
#include "module.h"
#include "registry_check.h"
#include "report.h"
#include "run.h"
#include "session.h"
#include "text.h"

#include <algorithm>
#include <cstdio>

namespace kovctl {
namespace {

namespace platform = kov::platform;

// What the worker said it was doing, from its records.
struct Watch {
    std::uint32_t pid = 0;  // the worker's process id
    bool requested = false; // a request was sent
    std::uint32_t handle = 0, set = 0, code = 0;
    bool first = false;          // ...the process's first, during which the broker loads
    std::string phase;           // "request", "release" (its confirm) or "answered"
    std::size_t line = 0;        // session: the line running
    Command lineCommand = Command::None;
    bool lineJson = false;
    SessionOutcome session;      // session: the lines so far
    bool exiting = false;        // its work was done: it was ending
    int exitCode = 0;

    void take(const Json& record) {
        const std::string kind = record.value("r", "");
        if (kind == "start") {
            pid = record.value("pid", 0u);
        } else if (kind == "request") {
            requested = true;
            handle = record.value("handle", 0u);
            set = record.value("set", 0u);
            code = record.value("code", 0u);
            first = record.value("first", false);
            phase = kind;
        } else if (kind == "release" || kind == "answered") {
            phase = kind;
        } else if (kind == "line") {
            line = record.value("n", std::size_t{0});
            const Json& command = record["command"];
            lineCommand =
                command.is_string() ? commandNamed(command.get<std::string>()) : Command::None;
            lineJson = record.value("json", false);
            ++session.commands;
        } else if (kind == "lineEnd") {
            const int exit = record.value("exit", 0);
            if (exit != 0) session.failedLines.push_back(record.value("n", std::size_t{0}));
            session.exitCode = std::max(session.exitCode, exit);
            line = 0;
        } else if (kind == "exit") {
            exiting = true;
            exitCode = record.value("code", 0);
        }
    }
};

// The registry entry the provider with `handle` came from, asked of a holder copy; empty when
// none can be named.
RegistryEntry entryOfHandle(const Options& options, std::uint32_t handle) {
    RegistryEntry entry;
    const std::vector<std::string> arguments = {std::to_string(handle), "--module",
                                                modulePathFor(options.modulePath), "--timeout",
                                                std::to_string(options.timeoutMs)};
    runCopy(kHolderRole, arguments, 0, true, [&](const Json& record) {
        if (record.value("r", "") != "holder") return;
        entry.key = unpackText(record, "key");
        entry.path = unpackText(record, "path");
    });
    return entry;
}

// A provider that crashed while answering (or releasing its confirm): one line with its handle,
// key, set and code.
int reportAnswerFault(const Options& options, const Watch& watch, const std::string& cause) {
    const RegistryEntry entry = entryOfHandle(options, watch.handle);
    const bool releasing = watch.phase == "release";
    const std::string who = "the provider with handle " + std::to_string(watch.handle) +
                            (entry.key.empty() ? std::string(" (no registry entry names it)")
                                               : " (key '" + entry.key + "', " + entry.path + ")");
    const std::string what = releasing ? "while releasing its confirm of" : "while answering";
    const std::string message = who + " crashed kovctl's worker process " + what + " set " +
                                shortHex(watch.set) + " code " + std::to_string(watch.code) + ": " +
                                cause;
    const Json fault = {{"during", releasing ? "releasing" : "answering"},
                        {"handle", watch.handle},
                        {"key", entry.key.empty() ? Json(nullptr) : Json(entry.key)},
                        {"path", entry.path.empty() ? Json(nullptr) : Json(entry.path)},
                        {"set", watch.set},
                        {"code", watch.code},
                        {"cause", cause}};
    return failWith(kExitCrash, message, {{"fault", fault}});
}

int reportCrash(const Options& options, const Watch& watch, const std::string& cause) {
    // Nothing was sent yet: the broker module itself, as it was loaded.
    if (!watch.requested)
        return failWith(kExitCrash, "kovctl's worker process crashed (" + cause +
                                        ") while loading the broker module '" +
                                        modulePathFor(options.modulePath) + "'");
    const bool duringCall = watch.phase != "answered";
    const bool loading = watch.first && watch.phase == "request";
    if (loading) {
        const std::vector<CheckedEntry> culprits =
            findCrashedLoad(watch.pid, cause, options.timeoutMs);
        // The broker's own provider answers nothing that could crash: then loading did.
        if (!culprits.empty() || watch.handle == 0)
            return reportLoadFault(kExitCrash,
                                   "the broker crashed kovctl's worker process (" + cause +
                                       ") while loading its providers from the registry '" +
                                       registryName() + "'",
                                   culprits);
    }
    if (duringCall && watch.handle != 0) return reportAnswerFault(options, watch, cause);
    return failWith(kExitCrash, "kovctl's worker process crashed (" + cause + ") after set " +
                                    shortHex(watch.set) + " code " + std::to_string(watch.code) +
                                    " of handle " + std::to_string(watch.handle) +
                                    (duringCall ? "" : " was answered"));
}

} // namespace

int runInWorker(const Options& options, const std::vector<std::string>& words) {
    Watch watch;
    const platform::ChildEnd end =
        runCopy(kWorkerRole, words, 0, false, [&](const Json& record) { watch.take(record); });
    switch (end.kind) {
    case platform::ChildEnd::Kind::Exited: return static_cast<int>(end.code);
    case platform::ChildEnd::Kind::NotStarted:
    case platform::ChildEnd::Kind::TimedOut:
        std::fprintf(stderr, "kovctl: warning: cannot start a worker process (%s); the broker runs "
                             "in this process, unguarded\n", end.error.c_str());
        return kNoWorker;
    case platform::ChildEnd::Kind::Crashed: break;
    }
    const std::string cause = platform::crashName(end.code);
    // Its work was done and said: a library that crashes as the process ends (unloading).
    if (watch.exiting) {
        std::fprintf(stderr, "kovctl: warning: kovctl's worker process crashed (%s) as it ended, "
                             "while its provider libraries were unloaded\n", cause.c_str());
        return watch.exitCode;
    }
    if (options.command != Command::Session) return reportCrash(options, watch, cause);
    // A session: the line that was running is reported, and the session closes with it.
    SessionOutcome outcome = watch.session;
    if (watch.line != 0) {
        reportSessionLine(watch.lineJson, watch.lineCommand, watch.line);
        outcome.failedLines.push_back(watch.line);
    } else {
        reportSessionLine(options.json, Command::Session, 0);
    }
    reportCrash(options, watch, cause);
    outcome.exitCode = kExitCrash;
    outcome.stoppedAt = watch.line;
    outcome.stopReason = "a provider library crashed kovctl's worker process (" + cause + ")";
    reportSessionLine(options.json, Command::Session, 0);
    summariseSession(options, outcome);
    return kExitCrash;
}

int runHolder(const std::vector<std::string>& words) {
    std::vector<std::string> listing = {"list"};
    listing.insert(listing.end(), words.begin() + (words.empty() ? 0 : 1), words.end());
    const ParseResult parsed = parseWords(listing);
    std::uint32_t handle = 0;
    if (words.empty() || !parsed.ok || !parseNumber(words.front(), handle)) return kExitUsage;
    BrokerApi api;
    std::string error;
    RegistryEntry entry;
    if (loadBroker(modulePathFor(parsed.options.modulePath), api, error) &&
        registryEntryOf(parsed.options, api, handle, entry))
        sendRecord({{"r", "holder"}, {"key", packText(entry.key)}, {"path", packText(entry.path)}});
    return finishProcess(kExitOk);
}

} // namespace kovctl
