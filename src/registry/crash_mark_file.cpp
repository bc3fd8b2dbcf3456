#include "registry/crash_mark_file.h"

namespace kov::registry {
namespace {

constexpr const char* kFirstLine = "KOV broker crash mark 1";

// The longest values a mark may hold: the registry's own limits (keys 299 bytes, paths 399),
// and room enough for a program's path, a timestamp and a sentence.
struct Field {
    const char* name;
    std::size_t maxBytes;
    bool required;
};
constexpr Field kFields[] = {
    {"state", 16, true},   {"key", 299, true},     {"path", 399, true},
    {"pid", 10, true},     {"start", 128, false},  {"program", 4096, false},
    {"time", 28, true},    {"reason", 600, false},
};
constexpr std::size_t kFieldCount = sizeof kFields / sizeof kFields[0];

// Values are one line each: a backslash, a line feed and a carriage return are written escaped.
std::string escaped(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

bool unescape(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        if (text[i] == '\\') out += '\\';
        else if (text[i] == 'n') out += '\n';
        else if (text[i] == 'r') out += '\r';
        else return false;
    }
    return true;
}

bool parseProcessId(const std::string& text, std::uint32_t& out) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > UINT32_MAX) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool printable(const std::string& text) {
    for (const char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

} // namespace

std::string encodeMark(const CrashMark& mark) {
    std::string out = std::string(kFirstLine) + "\n";
    const auto line = [&](const char* name, const std::string& value) {
        out += name;
        out += '=';
        out += escaped(value);
        out += '\n';
    };
    line("state", mark.state == MarkState::Loading ? "loading" : "crashed");
    line("key", mark.key);
    line("path", mark.path);
    line("pid", std::to_string(mark.processId));
    line("start", mark.startToken);
    line("program", mark.program);
    line("time", mark.time);
    if (!mark.reason.empty()) line("reason", mark.reason);
    return out;
}

bool parseMark(const std::string& bytes, CrashMark& mark, std::string& problem) {
    mark = CrashMark{};
    std::string values[kFieldCount];
    bool seen[kFieldCount] = {};
    std::size_t at = 0;
    bool first = true;
    while (at < bytes.size()) {
        const std::size_t end = bytes.find('\n', at);
        if (end == std::string::npos) {
            problem = "the last line is cut short";
            return false;
        }
        const std::string line = bytes.substr(at, end - at);
        at = end + 1;
        if (first) {
            if (line != kFirstLine) {
                problem = "not a crash mark (its first line is not \"" + std::string(kFirstLine) + "\")";
                return false;
            }
            first = false;
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string name = line.substr(0, equals);
        std::size_t field = 0;
        while (field < kFieldCount && name != kFields[field].name) ++field;
        if (equals == std::string::npos || field == kFieldCount) {
            problem = "an unknown line \"" + name.substr(0, 40) + "\"";
            return false;
        }
        if (seen[field]) {
            problem = "\"" + name + "\" given twice";
            return false;
        }
        seen[field] = true;
        if (!unescape(line.substr(equals + 1), values[field]) ||
            values[field].size() > kFields[field].maxBytes) {
            problem = "a malformed or overlong \"" + name + "\"";
            return false;
        }
    }
    if (first) {
        problem = "the file is empty";
        return false;
    }
    for (std::size_t f = 0; f < kFieldCount; ++f) {
        if (kFields[f].required && (!seen[f] || values[f].empty())) {
            problem = "no \"" + std::string(kFields[f].name) + "\"";
            return false;
        }
    }
    if (values[0] != "loading" && values[0] != "crashed") {
        problem = "an unknown state \"" + values[0] + "\"";
        return false;
    }
    if (!parseProcessId(values[3], mark.processId) || !printable(values[4]) || !printable(values[6])) {
        problem = "a malformed process id, start or time";
        return false;
    }
    mark.state = values[0] == "loading" ? MarkState::Loading : MarkState::Crashed;
    mark.key = values[1];
    mark.path = values[2];
    mark.startToken = values[4];
    mark.program = values[5];
    mark.time = values[6];
    mark.reason = values[7];
    return true;
}

bool sameKeyName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

} // namespace kov::registry
