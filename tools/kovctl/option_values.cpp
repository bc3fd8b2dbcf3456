#include "option_values.h"

#include <cctype>
#include <fstream>

namespace kovctl {
namespace {

// Larger payloads would not leave room for the header in a 32-bit totalLength, and nobody means
// to send them from a command line.
constexpr std::uintmax_t kMaxPayload = 64u * 1024u * 1024u;

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
