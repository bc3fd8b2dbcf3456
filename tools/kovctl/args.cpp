#include "args.h"

#include "text.h"

#include <cctype>
#include <fstream>
#include <iterator>

namespace kovctl {
namespace {

struct CommandInfo {
    Command command;
    const char* name;
    std::size_t operands;    // required
    std::size_t optionalOperands;
    const char* operandNames[2];
};

constexpr CommandInfo kCommands[] = {
    {Command::List, "list", 0, 0, {}},
    {Command::Info, "info", 0, 0, {}},
    {Command::Stats, "stats", 0, 0, {}},
    {Command::Reload, "reload", 0, 0, {}},
    {Command::Register, "register", 2, 0, {"KEY", "PATH"}},
    {Command::Remove, "remove", 1, 1, {"KEY", "PATH"}},
    {Command::Lang, "lang", 0, 0, {}},
    {Command::CheckLang, "check-lang", 1, 0, {"TAG"}},
    {Command::Send, "send", 0, 0, {}},
    {Command::Inspect, "inspect", 1, 0, {"PATH"}},
    {Command::Registry, "registry", 0, 0, {}},
    {Command::Session, "session", 0, 1, {"FILE"}},
};

// Larger payloads would not leave room for the header in a 32-bit totalLength, and nobody means
// to send them from a command line.
constexpr std::uintmax_t kMaxPayload = 64u * 1024u * 1024u;

const CommandInfo* findCommand(const std::string& name) {
    for (const CommandInfo& info : kCommands)
        if (name == info.name) return &info;
    return nullptr;
}

const CommandInfo& infoOf(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.command == command) return info;
    return kCommands[0];
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool readFile(const std::string& path, std::vector<std::uint8_t>& out, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read file '" + path + "'";
        return false;
    }
    std::vector<std::uint8_t> bytes;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + file.gcount());
        if (bytes.size() > kMaxPayload) {
            error = "file '" + path + "' is larger than 64 MiB";
            return false;
        }
    }
    if (file.bad()) {
        error = "cannot read file '" + path + "'";
        return false;
    }
    out = std::move(bytes);
    return true;
}

bool isSendOption(const std::string& name) {
    return name == "--provider" || name == "--set" || name == "--version" || name == "--code" ||
           name == "--hex" || name == "--text" || name == "--file";
}

bool takesValue(const std::string& name) {
    return isSendOption(name) || name == "--module" || name == "--timeout";
}

// Applies one option with its value; false with `error` set when the value is unusable.
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
    } else if (name == "--provider") {
        if (!parseNumber(value, options.request.provider)) return badNumber();
        options.providerGiven = true;
    } else if (name == "--set") {
        // SET or SET:MAJOR.MINOR
        const std::size_t colon = value.find(':');
        if (!parseNumber(value.substr(0, colon), options.request.functionSet)) return badNumber();
        options.setGiven = true;
        if (colon != std::string::npos) {
            if (!parseVersion(value.substr(colon + 1), options.request.setMajor,
                              options.request.setMinor)) {
                error = "bad version '" + value.substr(colon + 1) + "' for --set (SET:MAJOR.MINOR)";
                return false;
            }
            options.versionGiven = true;
        }
    } else if (name == "--code") {
        if (!parseNumber(value, options.request.functionCode)) return badNumber();
    } else if (name == "--version") {
        if (!parseVersion(value, options.request.setMajor, options.request.setMinor)) {
            error = "bad version '" + value + "' for --version (expected MAJOR.MINOR)";
            return false;
        }
        options.versionGiven = true;
    } else if (name == "--hex" || name == "--text" || name == "--file") {
        if (payloadGiven) {
            error = "give the payload once, with --hex, --text or --file";
            return false;
        }
        payloadGiven = true;
        if (name == "--file") return readFile(value, options.request.payload, error);
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

} // namespace

const char* commandName(Command command) {
    return command == Command::None ? "kovctl" : infoOf(command).name;
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

ParseResult parseArguments(int argc, const char* const* argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);
    return parseWords(words);
}

ParseResult parseWords(const std::vector<std::string>& words) {
    ParseResult result;
    Options& options = result.options;
    bool payloadGiven = false;

    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--help" || word == "-h") {
            options.help = true;
        } else if (word == "--version" && options.command != Command::Send) {
            // Outside send, where --version is the request's set version.
            options.version = true;
        } else if (word == "--json") {
            options.json = true;
        } else if (word == "--sync") {
            options.sync = true;
        } else if (word == "--loaded-only") {
            options.loadedOnly = true;
        } else if (word == "--stop-on-error") {
            options.stopOnError = true;
        } else if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
            // Both "--set 5" and "--set=5".
            const std::size_t equals = word.find('=');
            const std::string name = word.substr(0, equals);
            if (!takesValue(name)) {
                result.error = "unknown option '" + name + "'";
                return result;
            }
            std::string value;
            if (equals != std::string::npos) {
                value = word.substr(equals + 1);
            } else if (i + 1 < words.size()) {
                value = words[++i];
            } else {
                result.error = "missing value for " + name;
                return result;
            }
            if (isSendOption(name) && options.command != Command::Send) {
                result.error = "option " + name + " belongs to the send command";
                return result;
            }
            if (!applyOption(name, value, options, payloadGiven, result.error)) return result;
        } else if (word.size() > 1 && word[0] == '-') {
            result.error = "unknown option '" + word + "'";
            return result;
        } else if (options.command == Command::None) {
            // "kovctl help send" reads as "kovctl send --help".
            if (word == "help" && !options.help) {
                options.help = true;
                continue;
            }
            const CommandInfo* info = findCommand(word);
            if (info == nullptr) {
                result.error = "unknown command '" + word + "'";
                return result;
            }
            options.command = info->command;
        } else {
            options.operands.push_back(word);
        }
    }

    if (options.help || (options.version && options.command == Command::None)) {
        result.ok = true;
        return result;
    }
    if (options.command == Command::None) {
        result.error = "no command given";
        return result;
    }
    const CommandInfo& info = infoOf(options.command);
    if (options.operands.size() < info.operands) {
        result.error = std::string("missing argument ") + info.operandNames[options.operands.size()] +
                       " for " + info.name;
        return result;
    }
    const std::size_t most = info.operands + info.optionalOperands;
    if (options.operands.size() > most) {
        result.error = "unexpected argument '" + options.operands[most] + "' for " + info.name;
        return result;
    }
    if (options.loadedOnly && options.command != Command::List) {
        result.error = "option --loaded-only belongs to the list command";
        return result;
    }
    if (options.stopOnError && options.command != Command::Session) {
        result.error = "option --stop-on-error belongs to the session command";
        return result;
    }
    for (std::size_t i = 0; i < options.operands.size(); ++i) {
        const std::string& operand = options.operands[i];
        // An empty key or path would reach the registry as an empty name.
        if (operand.empty() && options.command != Command::CheckLang) {
            result.error = std::string(info.operandNames[i]) + " must not be empty";
            return result;
        }
        std::u16string wide;
        if (!utf16FromArgument(operand, wide)) {
            result.error = std::string(info.operandNames[i]) + " '" + operand +
                           "' is not valid text in the system's code page";
            return result;
        }
        options.wideOperands.push_back(std::move(wide));
    }
    result.ok = true;
    return result;
}

} // namespace kovctl
