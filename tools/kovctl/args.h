// Command-line parsing: turns argv into one Options record or a one-line complaint.
#pragma once

#include "request_fields.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kovctl {

enum class Command {
    None, List, Info, Stats, Reload, Register, Remove, Lang, CheckLang, Send, Inspect, Registry,
    Session, Enable, Version,
    // Other processes' counters, read from their published regions (commands_observe.cpp).
    Ps, Top, Trace
};

struct Options {
    Command command = Command::None;
    bool help = false;
    bool version = false;               // --version or version: kovctl's own and the module's
    bool json = false;
    bool sync = false;                  // every command: kov_SendSync instead of kov_Send
    bool loadedOnly = false;            // list: only what loaded, exit 0 (the former listing)
    bool wide = false;                  // list: every column, not just what fits 80
    bool stopOnError = false;           // session: stop at the first command that fails
    bool userLayer = false;             // register, remove, registry: the user's own registry
    bool machineLayer = false;          // register, remove, registry: the machine's registry
    std::string modulePath;             // --module; empty: environment, then the program's folder
    std::uint32_t timeoutMs = 10000;    // how long an asynchronous send waits for its confirm
    bool timeoutGiven = false;          // a session line may set its own
    std::vector<std::string> operands;  // KEY PATH of register, KEY [PATH] of remove and enable,
                                        // TAG, PATH, FILE of session
    std::vector<std::u16string> wideOperands; // the same as the broker receives them

    // send: the request as given on the command line
    RequestFields request;
    bool providerGiven = false; // --set without --provider: send asks the broker who serves it
    bool setGiven = false;
    bool versionGiven = false;  // --version or --set SET:VERSION
    std::string setWithVersion; // --set's value when it gave a version, and --version's: one
    std::string versionOption;  // version only, however given
    std::string payloadFile;    // --file, read when the request is built ("-": standard input)

    // ps, stats, top, trace: another process's counters
    std::uint32_t pid = 0;      // --pid; 0: not given
    std::uint32_t count = 10;   // trace --count: how many requests to show
    std::uint32_t intervalMs = 1000; // top --interval: between two samples
    bool once = false;          // top --once: one sample, then exit
    bool clean = false;         // ps --clean: remove the regions of processes that are gone
};

struct ParseResult {
    bool ok = false;
    std::string error; // one line, without the program name
    Options options;
};

ParseResult parseArguments(int argc, const char* const* argv);
// The same for words that follow the program's name.
ParseResult parseWords(const std::vector<std::string>& words);

// Decimal or 0x-prefixed hexadecimal, within 32 bits.
bool parseNumber(const std::string& text, std::uint32_t& out);
// MAJOR.MINOR, each within 16 bits.
bool parseVersion(const std::string& text, std::uint16_t& major, std::uint16_t& minor);
// Pairs of hex digits, optionally separated by blanks, commas or colons ("01 02 ff", "0102ff").
bool parseHex(const std::string& text, std::vector<std::uint8_t>& out);

const char* commandName(Command command);
// The command of that name; Command::None for none.
Command commandNamed(const std::string& name);

} // namespace kovctl
