#include "message/resource_strings.h"

#include "platform/platform.h"
#include "runtime/process.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace kov::message {
namespace {

// Converting a string to UTF-16 cost more than the rest of a reply that carries it, and the
// strings of the module do not change while it is loaded. So each id's conversion is kept and
// used again whenever the text loaded is, byte for byte, the one converted; the text itself is
// still loaded every time. An entry is written once, under the lock, and read without it after
// `ready` has been published.
struct Converted {
    std::atomic<bool> ready{false};
    int ansiLength = 0;
    char ansi[kResourceBufferBytes] = {};
    int units = 0;
    char16_t wide[kResourceMaxChars] = {};
};

constexpr unsigned kKeptIds = 8; // the table has ids 1 to 4
Converted kept[kKeptIds];
std::mutex keeping;

const Converted* keptFor(unsigned id, const char* ansi, int chars) {
    if (id >= kKeptIds || !kept[id].ready.load(std::memory_order_acquire)) return nullptr;
    const Converted& entry = kept[id];
    const bool same = entry.ansiLength == chars && std::memcmp(entry.ansi, ansi, chars) == 0;
    return same ? &entry : nullptr;
}

void keep(unsigned id, const char* ansi, int chars, const char16_t* wide, int units) {
    if (id >= kKeptIds) return;
    const std::lock_guard<std::mutex> hold(keeping);
    Converted& entry = kept[id];
    if (entry.ready.load(std::memory_order_relaxed)) return;
    entry.ansiLength = chars;
    std::memcpy(entry.ansi, ansi, chars);
    entry.units = units;
    std::memcpy(entry.wide, wide, units * sizeof(char16_t));
    entry.ready.store(true, std::memory_order_release);
}

std::uint32_t byteLength(int units) { return 2 * static_cast<std::uint32_t>(units) + 2; }

} // namespace

std::uint32_t loadResourceString(unsigned id, char16_t* wide, char* ansi) {
    std::memset(wide, 0, kResourceBufferBytes);
    const int chars = platform::loadString(runtime::moduleInstance(), id, ansi, kResourceBufferBytes);
    if (chars <= 0) return 0;
    if (const Converted* known = keptFor(id, ansi, chars)) {
        std::memcpy(wide, known->wide, known->units * sizeof(char16_t));
        return byteLength(known->units);
    }
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
    keep(id, ansi, chars, wide, units);
    return byteLength(units);
}

ResourceString::ResourceString(unsigned id) {
    char ansi[kResourceBufferBytes];
    bytes = loadResourceString(id, text, ansi);
}

} // namespace kov::message
