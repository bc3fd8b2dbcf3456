#pragma once

#include <cstdint>

namespace kov::message {

constexpr unsigned kResourceBufferBytes = 400; // both buffers
constexpr unsigned kResourceMaxChars = 199;

// Loads string `id` of the broker module's string table into `wide` (400 bytes, zero-filled
// first) and returns its byte length with the terminator (2 x units + 2), or 0 when there is no
// such string. Longer strings are cut at 199 UTF-16 units. `ansi` (400 bytes) is scratch space.
std::uint32_t loadResourceString(unsigned id, char16_t* wide, char* ansi);

// A loaded resource string with its own buffers.
struct ResourceString {
    char16_t text[kResourceBufferBytes / 2];
    std::uint32_t bytes; // 0 when absent
    explicit ResourceString(unsigned id);
};

} // namespace kov::message
