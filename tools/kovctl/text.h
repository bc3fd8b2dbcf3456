// Text conversions and formatting shared by the commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kovctl {

// UTF-16 from a record into UTF-8 for the terminal and JSON; unpaired surrogates become U+FFFD.
std::string utf8FromUtf16(const std::u16string& text);

// A command-line argument into UTF-16. Arguments arrive in the system's ANSI code page (UTF-8 on
// Linux), the same one the broker converts names back into, so a key or path survives the trip
// unchanged. False when the argument is not valid text in that code page.
bool utf16FromArgument(const std::string& argument, std::u16string& out);

// "01 02 ff" per line of 16 with offsets and an ASCII column, for the terminal.
std::string hexDump(const std::uint8_t* bytes, std::size_t length);
// "0102ff": compact, for JSON.
std::string hexString(const std::uint8_t* bytes, std::size_t length);

std::string hex32(std::uint32_t value); // "0x0000ffff"
std::string shortHex(std::uint32_t value); // "0xffff"

// "STATUS_UNKNOWN_PROVIDER", or null for a code with no name.
const char* statusNameOf(std::uint32_t status);
// "4 STATUS_UNKNOWN_PROVIDER", "17 (no name)", or for a code of the providers' own range
// "provider status 1000".
std::string describeStatus(std::uint32_t status);

} // namespace kovctl
