// One crash mark as a file: a few lines of "name=value" under a first line that says what the file
// is. Readable by an administrator who looks into the folder; parsed strictly, because the file
// may have been changed, cut short or replaced by anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kov::registry {

enum class MarkState { Loading, Crashed };

struct CrashMark {
    MarkState state = MarkState::Loading;
    std::string key;         // the provider key, as the registry gave it
    std::string path;        // the library, as the registry gave it
    std::uint32_t processId = 0;
    std::string startToken;  // what tells that process from a later one with its id
    std::string program;     // the program that was loading the library
    std::string time;        // when the load began (the broker's timestamp)
    std::string reason;      // why a crashed record was made, when someone knows more; may be empty
};

// Longest mark file read: well above what the limits below allow.
constexpr std::size_t kMarkFileBytes = 8192;

std::string encodeMark(const CrashMark& mark);
// False, with `problem` saying why, for anything that is not a mark this code would write.
bool parseMark(const std::string& bytes, CrashMark& mark, std::string& problem);

// Registry key names compare without case, as the registry compares them; paths exactly.
bool sameKeyName(const std::string& a, const std::string& b);

} // namespace kov::registry
