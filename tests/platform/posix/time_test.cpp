// Local time and the standard-time bias under zones given as POSIX TZ strings (no zone database
// needed).
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace kov::platform {
namespace {

class ScopedZone {
public:
    explicit ScopedZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            had_ = true;
            old_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedZone() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedZone(const ScopedZone&) = delete;
    ScopedZone& operator=(const ScopedZone&) = delete;

private:
    bool had_ = false;
    std::string old_;
};

TEST(PlatformTime, StandardBiasIsMinutesWestOfUtcWhateverTheSeason) {
    struct Case {
        const char* zone;
        long bias;
    };
    for (const Case& c : {Case{"UTC0", 0}, Case{"EST5EDT,M3.2.0,M11.1.0", 300},
                          Case{"XST-5:30", -330}, Case{"NZST-12NZDT,M9.5.0,M4.1.0/3", -720},
                          Case{"<-0330>3:30", 210}}) {
        const ScopedZone zone(c.zone);
        EXPECT_EQ(c.bias, standardBiasMinutes()) << c.zone;
    }
}

struct ZoneCase {
    const char* zone;
    long eastSeconds;
};

// localTime() must show the clock in the zone: compare with UTC shifted by the zone's offset,
// for each second the call may have fallen in.
void expectLocalTimeIn(const ZoneCase& c) {
    const std::time_t before = std::time(nullptr);
    const LocalTime now = localTime();
    const std::time_t after = std::time(nullptr);
    bool matched = false;
    for (std::time_t t = before; t <= after && !matched; ++t) {
        const std::time_t shifted = t + c.eastSeconds;
        std::tm expected{};
        gmtime_r(&shifted, &expected);
        matched = now.year == expected.tm_year + 1900 && now.month == expected.tm_mon + 1 &&
                  now.day == expected.tm_mday && now.hour == expected.tm_hour &&
                  now.minute == expected.tm_min && now.second == expected.tm_sec;
    }
    EXPECT_TRUE(matched) << c.zone << ": " << now.year << "-" << now.month << "-" << now.day << " "
                         << now.hour << ":" << now.minute << ":" << now.second;
    EXPECT_GE(now.milliseconds, 0);
    EXPECT_LE(now.milliseconds, 999);
}

TEST(PlatformTime, LocalTimeFollowsTheZone) {
    for (const ZoneCase& c :
         {ZoneCase{"UTC0", 0}, ZoneCase{"XST-5:30", 19800}, ZoneCase{"YST9", -32400}}) {
        const ScopedZone zone(c.zone);
        expectLocalTimeIn(c);
    }
}

// The zone is read once and kept, with the fields of the last second: a TZ changed by the
// program (without tzset) must still show in the very next call, within the same second.
TEST(PlatformTime, ChangedTzShowsAtOnceWithoutTzset) {
    const ScopedZone restore("UTC0");
    for (const ZoneCase& c : {ZoneCase{"XST-5:30", 19800}, ZoneCase{"YST9", -32400},
                              ZoneCase{"UTC0", 0}, ZoneCase{"XST-5:30", 19800}}) {
        setenv("TZ", c.zone, 1);
        expectLocalTimeIn(c);
        EXPECT_EQ(standardBiasMinutes(), -c.eastSeconds / 60) << c.zone;
        expectLocalTimeIn(c);
    }
}

} // namespace
} // namespace kov::platform
