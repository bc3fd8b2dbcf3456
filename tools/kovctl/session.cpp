#include "session.h"

#include "commands.h"
#include "copies.h"
#include "exchange.h"
#include "report.h"
#include "usage.h"

#include <algorithm>
#include <fstream>
#include <iostream>

namespace kovctl {
namespace {

using Outcome = SessionOutcome;

bool asksForJson(const std::vector<std::string>& words) {
    return std::find(words.begin(), words.end(), "--json") != words.end();
}

// One line's command with the session's options where the line gives none; returns its exit code.
int runLine(const Options& session, const BrokerApi& api, const std::vector<std::string>& words,
            std::size_t number) {
    const ParseResult parsed = parseWords(words);
    const bool json = session.json || asksForJson(words);
    reportSessionLine(json, parsed.options.command, number);
    // For the parent of a worker, should a provider end this process during the line.
    sendRecord({{"r", "line"},
                {"n", number},
                {"command", parsed.options.command == Command::None
                                ? Json(nullptr)
                                : Json(commandName(parsed.options.command))},
                {"json", json}});
    if (!parsed.ok) return failWith(kExitUsage, parsed.error + "; see kovctl --help");
    Options options = parsed.options;
    options.json = json;
    options.sync = options.sync || session.sync;
    if (!options.timeoutGiven) options.timeoutMs = session.timeoutMs;
    // The module was loaded once for the whole session.
    if (!options.modulePath.empty())
        return failWith(kExitUsage, "option --module belongs to the session, not to one of its lines");
    if (options.command == Command::Session)
        return failWith(kExitUsage, "a session cannot run another session");
    if (options.payloadFile == "-")
        return failWith(kExitUsage,
                        "--file - reads standard input, which a session keeps for its commands");
    if (options.help) {
        if (options.json) return failWith(kExitUsage, "help is text, not JSON: see kovctl --help");
        std::cout << usageText(options.command);
        std::cout.flush();
        return kExitOk;
    }
    if (options.command == Command::Inspect) return runInspect(options);
    return runLoaded(options, api);
}

void stop(Outcome& outcome, std::size_t line, const std::string& reason) {
    outcome.stoppedAt = line;
    outcome.stopReason = reason;
}

} // namespace

void summariseSession(const Options& session, const SessionOutcome& outcome) {
    reportSessionLine(session.json, Command::Session, 0);
    std::string lines;
    for (const std::size_t line : outcome.failedLines)
        lines += (lines.empty() ? "" : ", ") + std::to_string(line);
    if (!outcome.failedLines.empty())
        std::cerr << "kovctl: session: " << outcome.failedLines.size() << " of " << outcome.commands
                  << " commands failed (line" << (outcome.failedLines.size() > 1 ? "s " : " ")
                  << lines << ")\n";
    if (outcome.stoppedAt != 0)
        std::cerr << "kovctl: session stopped after line " << outcome.stoppedAt << ": "
                  << outcome.stopReason << '\n';
    if (!session.json) return;
    Json json = jsonStart(commandName(Command::Session));
    json["commands"] = outcome.commands;
    json["failed"] = outcome.failedLines.size();
    json["failedLines"] = outcome.failedLines;
    json["stopped"] = nullptr;
    if (outcome.stoppedAt != 0)
        json["stopped"] = {{"line", outcome.stoppedAt}, {"reason", outcome.stopReason}};
    json["exitCode"] = outcome.exitCode;
    printJson(json);
}

bool splitLine(const std::string& line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::string word;
    bool inWord = false; // also for a word that is only quotes: '' is an empty word
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else word.push_back(c);
        } else if (quote == '"') {
            if (c == '"') quote = 0;
            else if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\'))
                word.push_back(line[++i]);
            else word.push_back(c);
        } else if (c == ' ' || c == '\t') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            inWord = true;
            if (c == '\'' || c == '"') quote = c;
            else word.push_back(c);
        }
    }
    if (quote != 0) {
        error = std::string("the ") + (quote == '"' ? "double" : "single") + " quote is not closed";
        return false;
    }
    if (inWord) words.push_back(word);
    return true;
}

int runSession(const Options& session, const BrokerApi& api, std::istream& input) {
    Outcome outcome;
    std::string line;
    for (std::size_t number = 1; std::getline(input, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back(); // a file written on Windows
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        ++outcome.commands;
        std::vector<std::string> words;
        std::string error;
        int exitCode = kExitOk;
        if (line.find('\0') != std::string::npos) error = "the line holds a NUL byte";
        if (!error.empty() || !splitLine(line, words, error)) {
            reportSessionLine(session.json, Command::None, number);
            sendRecord({{"r", "line"}, {"n", number}, {"command", nullptr}, {"json", session.json}});
            exitCode = failWith(kExitUsage, error);
        } else {
            exitCode = runLine(session, api, words, number);
        }
        sendRecord({{"r", "lineEnd"}, {"n", number}, {"exit", exitCode}});
        if (exitCode != kExitOk) {
            outcome.failedLines.push_back(number);
            outcome.exitCode = std::max(outcome.exitCode, exitCode);
        }
        // The broker or a provider may still answer the call given up on, and a late confirm
        // could be taken for the answer to a later command.
        if (callStillPending()) {
            stop(outcome, number, "a call is still pending in the broker; its answer could be taken "
                                  "for a later command's");
            break;
        }
        if (exitCode != kExitOk && session.stopOnError) {
            stop(outcome, number, "the command failed, and --stop-on-error was given");
            break;
        }
    }
    if (input.bad()) {
        reportSessionLine(session.json, Command::Session, 0);
        outcome.exitCode = std::max(outcome.exitCode, fail("cannot read the session's commands"));
    }
    summariseSession(session, outcome);
    return outcome.exitCode;
}

int runSession(const Options& session, const BrokerApi& api) {
    const bool fromStdin = session.operands.empty() || session.operands[0] == "-";
    if (fromStdin) return runSession(session, api, std::cin);
    std::ifstream file(session.operands[0], std::ios::binary);
    if (!file) return failWith(kExitUsage, "cannot read file '" + session.operands[0] + "'");
    return runSession(session, api, file);
}

} // namespace kovctl
