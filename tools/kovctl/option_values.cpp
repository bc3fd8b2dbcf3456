#include "option_values.h"

#include "platform/platform.h"

#include <cctype>
#include <fstream>
#include <iostream>

namespace kovctl {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The set's version, from --set SET:VERSION or --version: the same version twice is one, two
// different ones are refused rather than one silently taken.
bool applyVersion(const std::string& name, const std::string& value, const std::string& version,
                  Options& options, std::string& error) {
    std::uint16_t major = 0, minor = 0;
    if (!parseVersion(version, major, minor)) {
        error = name == "--set" ? "bad version '" + version + "' for --set (SET:MAJOR.MINOR)"
                                : "bad version '" + version + "' for --version (expected MAJOR.MINOR)";
        return false;
    }
    std::string& mine = name == "--set" ? options.setWithVersion : options.versionOption;
    const std::string& other = name == "--set" ? options.versionOption : options.setWithVersion;
    if (!other.empty() && (major != options.request.setMajor || minor != options.request.setMinor)) {
        mine = value;
        error = "--set " + options.setWithVersion + " and --version " + options.versionOption +
                " name two versions of the set; give one";
        return false;
    }
    mine = value;
    options.request.setMajor = major;
    options.request.setMinor = minor;
    options.versionGiven = true;
    return true;
}

} // namespace

bool applyOption(const std::string& name, const std::string& value, Options& options,
                 bool& payloadGiven, std::string& error) {
    const auto badNumber = [&] {
        error = "bad number '" + value + "' for " + name;
        return false;
    };
    if (name == "--module") {
        if (value.empty()) {
            error = "empty path for --module";
            return false;
        }
        options.modulePath = value;
    } else if (name == "--timeout") {
        if (!parseNumber(value, options.timeoutMs)) return badNumber();
        options.timeoutGiven = true;
    } else if (name == "--pid" || name == "--count" || name == "--interval") {
        std::uint32_t& target = name == "--pid"     ? options.pid
                                : name == "--count" ? options.count
                                                    : options.intervalMs;
        if (!parseNumber(value, target) || (name != "--interval" && target == 0)) return badNumber();
    } else if (name == "--provider") {
        if (!parseNumber(value, options.request.provider)) return badNumber();
        options.providerGiven = true;
    } else if (name == "--set") {
        // SET or SET:MAJOR.MINOR
        const std::size_t colon = value.find(':');
        if (!parseNumber(value.substr(0, colon), options.request.functionSet)) return badNumber();
        options.setGiven = true;
        if (colon != std::string::npos)
            return applyVersion(name, value, value.substr(colon + 1), options, error);
    } else if (name == "--code") {
        if (!parseNumber(value, options.request.functionCode)) return badNumber();
    } else if (name == "--version") {
        return applyVersion(name, value, value, options, error);
    } else if (name == "--hex" || name == "--text" || name == "--file") {
        if (payloadGiven) {
            error = "give the payload once, with --hex, --text or --file";
            return false;
        }
        payloadGiven = true;
        // Read when the request is built: the process that sends it may not be this one.
        if (name == "--file") {
            options.payloadFile = value;
            return true;
        }
        if (name == "--text") {
            options.request.payload.assign(value.begin(), value.end());
            return true;
        }
        if (!parseHex(value, options.request.payload)) {
            error = "bad hex payload '" + value + "' (expected pairs of hex digits)";
            return false;
        }
    }
    return true;
}

bool parseNumber(const std::string& text, std::uint32_t& out) {
    if (text.empty()) return false;
    unsigned base = 10;
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) base = 16, i = 2;
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const int digit = hexDigit(text[i]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFu) return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool parseVersion(const std::string& text, std::uint16_t& major, std::uint16_t& minor) {
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    std::uint32_t high = 0, low = 0;
    if (!parseNumber(text.substr(0, dot), high) || !parseNumber(text.substr(dot + 1), low))
        return false;
    if (high > 0xFFFF || low > 0xFFFF) return false;
    major = static_cast<std::uint16_t>(high);
    minor = static_cast<std::uint16_t>(low);
    return true;
}

bool parseHex(const std::string& text, std::vector<std::uint8_t>& out) {
    std::vector<std::uint8_t> bytes;
    int pending = -1; // high nibble waiting for its partner
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ':') {
            if (pending >= 0) return false; // a lone digit: "1 02" is not a byte
            continue;
        }
        const int digit = hexDigit(c);
        if (digit < 0) return false;
        if (pending < 0) {
            pending = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(pending * 16 + digit));
            pending = -1;
        }
    }
    if (pending >= 0) return false;
    out = std::move(bytes);
    return true;
}

} // namespace kovctl

namespace kovctl {
namespace {

// Larger payloads would not leave room for the header in a 32-bit totalLength, and nobody means
// to send them from a command line.
constexpr std::size_t kMaxPayload = 64u * 1024u * 1024u;

} // namespace

bool readPayloadFile(Options& options, std::string& error) {
    const std::string& path = options.payloadFile;
    if (path.empty()) return true;
    const bool standardInput = path == "-";
    std::ifstream file;
    if (standardInput) {
        kov::platform::binaryStandardInput();
    } else {
        file.open(path, std::ios::binary);
        if (!file) {
            error = "cannot read file '" + path + "'";
            return false;
        }
    }
    std::istream& in = standardInput ? std::cin : file;
    const std::string name = standardInput ? "standard input" : "file '" + path + "'";
    std::vector<std::uint8_t> bytes;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
        if (bytes.size() > kMaxPayload) {
            error = name + " holds more than 64 MiB";
            return false;
        }
    }
    if (in.bad()) {
        error = "cannot read " + name;
        return false;
    }
    options.request.payload = std::move(bytes);
    return true;
}

bool observeOptionsFit(const Options& options, std::string& error) {
    const Command command = options.command;
    const auto belongs = [&error](const char* option, const char* commands) {
        error = std::string("option ") + option + " belongs to the " + commands;
        return false;
    };
    if (options.pid != 0 && command != Command::Stats && command != Command::Trace)
        return belongs("--pid", "stats and trace commands");
    if (options.count != 10 && command != Command::Trace) return belongs("--count", "trace command");
    if ((options.once || options.intervalMs != 1000) && command != Command::Top)
        return belongs(options.once ? "--once" : "--interval", "top command");
    if (options.clean && command != Command::Ps) return belongs("--clean", "ps command");
    if (command == Command::Trace && options.pid == 0) {
        error = "trace needs --pid PID";
        return false;
    }
    return true;
}

} // namespace kovctl
