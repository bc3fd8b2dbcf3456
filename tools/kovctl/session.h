// kovctl session: many commands in one process, so the broker and its providers load once and a
// provider that keeps state between requests keeps it from one command to the next.
#pragma once

#include "args.h"
#include "module.h"

#include <istream>
#include <string>
#include <vector>

namespace kovctl {

// One input line split into words: blanks separate them; '...' is taken as it stands, and "..."
// too except that \" and \\ inside it stand for " and \. A backslash elsewhere is an ordinary
// character, so Windows paths need no doubling. False, with `error` set, for a quote left open.
bool splitLine(const std::string& line, std::vector<std::string>& words, std::string& error);

// Runs one command per line of `input` against the broker already loaded, each as
// `kovctl WORDS...` would with the session's --json, --sync and --timeout, printing its outcome
// as that would (with --json one object per line, carrying the line number). Blank lines and
// lines starting with # are skipped. A bad line is reported and the session goes on, unless
// --stop-on-error. Ends with the largest exit code of its commands (0 when all succeeded); with
// --json a closing object sums the session up.
int runSession(const Options& session, const BrokerApi& api, std::istream& input);
// The same for the session's FILE, or standard input when there is none or it is "-".
int runSession(const Options& session, const BrokerApi& api);

// How a session went, for its closing words.
struct SessionOutcome {
    std::size_t commands = 0;
    std::vector<std::size_t> failedLines;
    int exitCode = 0; // the largest of the commands'
    std::size_t stoppedAt = 0;
    std::string stopReason;
};
// On standard error, the failed lines and why the session stopped; with --json, the closing
// object.
void summariseSession(const Options& session, const SessionOutcome& outcome);

} // namespace kovctl
