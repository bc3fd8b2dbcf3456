#pragma once

#include "platform/faults.h"

#include <atomic>
#include <cstdint>

namespace kov::message {

constexpr unsigned kResourceBufferBytes = 400; // both buffers
constexpr unsigned kResourceMaxChars = 199;

// Loads string `id` of the broker module's string table into `wide` (400 bytes, zero-filled
// first) and returns its byte length with the terminator (2 x units + 2), or 0 when there is no
// such string. Longer strings are cut at 199 UTF-16 units. `ansi` (400 bytes) is scratch space.
std::uint32_t loadResourceString(unsigned id, char16_t* wide, char* ansi);

struct ResourceString;

namespace detail {
// Converting a string to UTF-16 cost more than the rest of a reply that carries it, and the
// strings of the module do not change while it is loaded. So each id's conversion is kept and
// used again: by loadResourceString whenever the text loaded is, byte for byte, the one
// converted, and by ResourceString without loading. An entry is written once, under a lock, and
// read without it after `ready` has been published.
struct Converted {
    std::atomic<bool> ready{false};
    int ansiLength = 0;
    char ansi[kResourceBufferBytes] = {};
    int units = 0;
    char16_t wide[kResourceMaxChars + 1] = {}; // with its terminator
};
constexpr unsigned kKeptIds = 8; // the table has ids 1 to 4
extern KOV_MODULE_GLOBAL Converted kept[kKeptIds];
inline std::uint32_t byteLength(int units) { return 2 * static_cast<std::uint32_t>(units) + 2; }
void loadUncached(ResourceString& out, unsigned id);
} // namespace detail

// A resource string as a reply needs it: its UTF-16 text with the terminator and that byte
// length (0 when absent). The text is converted once and then shared; each use still counts as
// a load for the fault switch.
struct ResourceString {
    const char16_t* text = u"";
    std::uint32_t bytes = 0;
    explicit ResourceString(unsigned id) {
        if (id < detail::kKeptIds && detail::kept[id].ready.load(std::memory_order_acquire)) {
            if (faults::shouldFail(faults::Fault::LoadString)) return;
            text = detail::kept[id].wide;
            bytes = detail::byteLength(detail::kept[id].units);
            return;
        }
        detail::loadUncached(*this, id);
    }
};

// Attach: strings are converted afresh (a new attach may come from another module image).
void forgetResourceStrings();

} // namespace kov::message
