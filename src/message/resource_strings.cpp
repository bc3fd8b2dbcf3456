#include "message/resource_strings.h"

#include "platform/platform.h"
#include "runtime/process.h"

#include <cstring>

namespace kov::message {

std::uint32_t loadResourceString(unsigned id, char16_t* wide, char* ansi) {
    std::memset(wide, 0, kResourceBufferBytes);
    const int chars = platform::loadString(runtime::moduleInstance(), id, ansi, kResourceBufferBytes);
    if (chars <= 0) return 0;
    // Convert all of it first, then cut: cutting the ANSI text could split a multi-byte character.
    char16_t converted[kResourceBufferBytes];
    int units = platform::ansiToWide(ansi, chars, converted, kResourceBufferBytes);
    if (units <= 0) return 0;
    if (units > static_cast<int>(kResourceMaxChars)) {
        units = kResourceMaxChars;
        // Never leave half a surrogate pair at the end.
        if (converted[units - 1] >= 0xD800 && converted[units - 1] <= 0xDBFF) --units;
    }
    std::memcpy(wide, converted, units * sizeof(char16_t));
    return 2 * static_cast<std::uint32_t>(units) + 2;
}

ResourceString::ResourceString(unsigned id) {
    char ansi[kResourceBufferBytes];
    bytes = loadResourceString(id, text, ansi);
}

} // namespace kov::message
