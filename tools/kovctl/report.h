// What every command shares: the exit codes, sending its request, and reporting a status.
#pragma once

#include "args.h"
#include "exchange.h"
#include "json.h"
#include "module.h"
#include "records.h"

#include <string>
#include <utility>
#include <vector>

namespace kovctl {

enum ExitCode {
    kExitOk = 0,      // the broker answered with status 0
    kExitUsage = 1,   // bad command line
    kExitStatus = 2,  // the answer carried a nonzero status
    kExitFailure = 3, // no usable answer: module not loadable, refused without a confirm,
                      // malformed reply, no answer in time
    kExitCrash = 4,   // a provider library crashed kovctl's worker: while loading or answering
};

// The version of the JSON shapes kovctl prints (every object's "schema" member); raised when a
// member changes meaning or goes away, not when one is added.
constexpr unsigned kJsonSchema = 1;

// Members of a status report. "reason" is also printed under the status line; "note",
// "warning", "removed" and "held" may come more than once: they are printed as lines under it and
// gathered into the JSON arrays "notes", "warnings", "removed" and "holds".
using Extras = std::vector<std::pair<const char*, std::string>>;

// The exit code that goes with a command's outcome status: 0 for 0, else kExitStatus.
int exitCodeFor(std::uint32_t status);

// Prints "kovctl: message" on stderr (and, with --json, {"schema", "command", "error",
// "exitCode"} on stdout) and returns kExitFailure, or `exitCode`. `members` go into the JSON
// object after "error"; `advice`, when given, is a second line on stderr.
int fail(const std::string& message);
int failWith(int exitCode, const std::string& message, const Json& members = Json::object(),
             const std::string& advice = std::string());
// Called once the command line is read, when it asked for --json.
void reportFailuresAsJson(Command command);
// For each line of a session: whether its failures are JSON objects too, its command, and its
// line number (from 1), which every message and object of the line then carries.
void reportSessionLine(bool json, Command command, std::size_t line);

// The members every JSON object starts with: schema, command (null: none) and, in a session,
// the line.
Json jsonStart(const char* command);

// Starts the JSON object every command prints: command, status and its name, and the exit code
// that goes with the status.
Json beginJson(Command command, std::uint32_t status);
// Prints the object as one line on standard output.
void printJson(const Json& json);

// Prints the outcome of a command that has nothing but a status to show (and `extras`), and
// returns the exit code that goes with the status.
int reportStatus(const Options& options, std::uint32_t status, const Extras& extras = {});

// Sends `fields` the way the options ask (sync or not). True when an answer came: a confirm, or a
// nonzero status in the request; otherwise the failure has been reported (exit 3 in `exitCode`).
bool answer(const Options& options, const BrokerApi& api, const RequestFields& fields,
            Exchange& exchange, int& exitCode);

// As answer(), and returns true only when a confirm with status 0
// came back for the caller to read; otherwise everything has been reported and `exitCode` says
// how the program ends.
// `extras` go into the report of a nonzero status.
// `explain`, if given, adds members to the report of a nonzero status.
using Explain = Extras (*)(const Options& options, std::uint32_t status);
bool query(const Options& options, const BrokerApi& api, const RequestFields& fields,
           Exchange& exchange, int& exitCode, const Extras& extras = {}, Explain explain = nullptr);

// A request for the broker provider (handle 0), version 1.0.
RequestFields brokerRequest(std::uint32_t functionSet, std::uint32_t functionCode,
                          Bytes payload = {});

} // namespace kovctl
