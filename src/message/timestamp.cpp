#include "message/timestamp.h"

#include <cstdio>
#include <cstring>

namespace kov::message {
namespace {

// Writes `value` as exactly `width` decimal digits; false (nothing written) when it does not fit.
bool putDigits(char* at, long value, int width) {
    long limit = 1;
    for (int i = 0; i < width; ++i) limit *= 10;
    if (value < 0 || value >= limit) return false;
    for (int i = width - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
    return true;
}

} // namespace

void formatTimestamp(const platform::LocalTime& t, long biasMinutes, char* field) {
    // Computed unsigned, so that even the most negative bias has a magnitude.
    const unsigned long magnitude = biasMinutes < 0 ? 0UL - static_cast<unsigned long>(biasMinutes)
                                                    : static_cast<unsigned long>(biasMinutes);
    const long hours = static_cast<long>(magnitude / 60);
    const long minutes = static_cast<long>(magnitude % 60);
    // The digits are written by hand: snprintf cost more than the rest of a reply. Fields out of
    // range (wider than their digits, or negative) take the printf route, which keeps what such
    // fields have always produced.
    char text[96] = "0000-00-00T00:00:00.000 0000";
    const bool plain = magnitude / 60 < 100 && putDigits(text, t.year, 4) &&
                       putDigits(text + 5, t.month, 2) && putDigits(text + 8, t.day, 2) &&
                       putDigits(text + 11, t.hour, 2) && putDigits(text + 14, t.minute, 2) &&
                       putDigits(text + 17, t.second, 2) &&
                       putDigits(text + 20, t.milliseconds, 3) && putDigits(text + 24, hours, 2) &&
                       putDigits(text + 26, minutes, 2);
    if (!plain) {
        // Room for out-of-range fields; only the first 28 characters are kept.
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d %02lu%02lu", t.year,
                      t.month, t.day, t.hour, t.minute, t.second, t.milliseconds, magnitude / 60,
                      magnitude % 60);
    }
    std::memcpy(field, text, kTimestampSize);
    // West of UTC is behind it.
    field[23] = biasMinutes > 0 ? '-' : '+';
}

void makeTimestamp(char* field) {
    formatTimestamp(platform::localTime(), platform::standardBiasMinutes(), field);
}

} // namespace kov::message
