// UTC date and time from std::chrono alone: gmtime is not thread-safe everywhere, and the
// worker formats times while other threads of the process may call it.
#include "sample_provider.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace sample {
namespace {

struct CivilDate {
    long year;
    unsigned month, day;
};

// Days since 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's days_from_civil inverse).
CivilDate civilFromDays(long days)
{
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153; // March = 0
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    return {static_cast<long>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

} // namespace

void utcDateTime(char (&out)[23])
{
    using namespace std::chrono;
    const long long ms =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const long long secondsOfEpoch = ms / 1000;
    const long days = static_cast<long>(secondsOfEpoch / 86400);
    const long secondOfDay = static_cast<long>(secondsOfEpoch % 86400);
    const CivilDate date = civilFromDays(days);

    char text[40];
    std::snprintf(text, sizeof text, "%04ld-%02u-%02uT%02ld:%02ld:%02ld.%03d", date.year,
                  date.month, date.day, secondOfDay / 3600, secondOfDay / 60 % 60,
                  secondOfDay % 60, static_cast<int>(ms % 1000));
    std::memcpy(out, text, sizeof out);
}

} // namespace sample
