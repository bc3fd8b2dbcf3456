#include "text.h"

#include "message/status_names.h"
#include "platform/platform.h"

#include <kov/kov_broker.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace kovctl {
namespace {

const char kHexDigits[] = "0123456789abcdef";

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void appendHexByte(std::string& out, std::uint8_t byte) {
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0xF]);
}

} // namespace

std::string utf8FromUtf16(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

bool utf16FromArgument(const std::string& argument, std::u16string& out) {
    out.clear();
    if (argument.empty()) return true;
    if (argument.size() > INT_MAX / 2) return false;
    // Never more UTF-16 units than input bytes.
    std::vector<char16_t> units(argument.size());
    const int written = kov::platform::ansiToWide(argument.data(), static_cast<int>(argument.size()),
                                                  units.data(), static_cast<int>(units.size()));
    if (written <= 0) return false;
    out.assign(units.data(), static_cast<std::size_t>(written));
    return true;
}

std::string hexDump(const std::uint8_t* bytes, std::size_t length) {
    std::string out;
    for (std::size_t line = 0; line < length; line += 16) {
        for (int shift = 28; shift >= 0; shift -= 4)
            out.push_back(kHexDigits[(line >> shift) & 0xF]);
        out += "  ";
        std::string ascii;
        for (std::size_t i = line; i < line + 16; ++i) {
            if (i < length) {
                appendHexByte(out, bytes[i]);
                out.push_back(' ');
                ascii.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.');
            } else {
                out += "   ";
            }
            if (i == line + 7) out.push_back(' ');
        }
        out += " |" + ascii + "|\n";
    }
    return out;
}

std::string hexString(const std::uint8_t* bytes, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length; ++i) appendHexByte(out, bytes[i]);
    return out;
}

std::string hex32(std::uint32_t value) {
    std::string out = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHexDigits[(value >> shift) & 0xF]);
    return out;
}

std::string shortHex(std::uint32_t value) {
    std::string digits = hex32(value).substr(2);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    return "0x" + digits;
}

const char* statusNameOf(std::uint32_t status) { return kov::message::statusName(status); }

std::string describeStatus(std::uint32_t status) {
    if (status >= KOV_STATUS_PROVIDER_FIRST && status <= KOV_STATUS_PROVIDER_LAST)
        return "provider status " + std::to_string(status);
    const char* name = statusNameOf(status);
    return std::to_string(status) + " " + (name != nullptr ? name : "(no name)");
}

} // namespace kovctl
