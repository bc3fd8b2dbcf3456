#include "message/resource_strings.h"

#include "platform/faults.h"
#include "platform/platform.h"
#include "runtime/process.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace kov::message {

namespace detail {
Converted kept[kKeptIds];
} // namespace detail

namespace {

using detail::byteLength;
using detail::Converted;
using detail::kept;
using detail::kKeptIds;

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
    entry.wide[units] = 0;
    entry.ready.store(true, std::memory_order_release);
}

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

void detail::loadUncached(ResourceString& out, unsigned id) {
    char16_t wide[kResourceBufferBytes / 2];
    char ansi[kResourceBufferBytes];
    if (loadResourceString(id, wide, ansi) == 0 || id >= kKeptIds ||
        !kept[id].ready.load(std::memory_order_acquire))
        return; // absent, or converted without being kept
    out.text = kept[id].wide;
    out.bytes = byteLength(kept[id].units);
}

void forgetResourceStrings() {
    const std::lock_guard<std::mutex> hold(keeping);
    for (Converted& entry : kept) entry.ready.store(false, std::memory_order_release);
}

} // namespace kov::message
