#include "message/timestamp.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kov::message {

void formatTimestamp(const platform::LocalTime& t, long biasMinutes, char* field) {
    std::memset(field, 0, kTimestampSize);
    const long magnitude = std::labs(biasMinutes);
    // Room for out-of-range fields; only the first 28 characters are kept.
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d %02ld%02ld", t.year,
                  t.month, t.day, t.hour, t.minute, t.second, t.milliseconds, magnitude / 60,
                  magnitude % 60);
    std::memcpy(field, text, kTimestampSize);
    // West of UTC is behind it.
    field[23] = biasMinutes > 0 ? '-' : '+';
}

void makeTimestamp(char* field) {
    formatTimestamp(platform::localTime(), platform::standardBiasMinutes(), field);
}

} // namespace kov::message
