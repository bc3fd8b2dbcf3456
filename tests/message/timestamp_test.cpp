#include "message/timestamp.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace kov::message {
namespace {

TEST(FormatTimestamp, LocalTimeThenTheSignedStandardOffset) {
    struct Case {
        platform::LocalTime time;
        long bias; // minutes west of UTC
        const char* expected;
    };
    const platform::LocalTime december{2026, 12, 8, 17, 5, 9, 42};
    const Case cases[] = {
        {december, 300, "2026-12-08T17:05:09.042-0500"},
        {december, -60, "2026-12-08T17:05:09.042+0100"},
        {december, -330, "2026-12-08T17:05:09.042+0530"},
        {december, 0, "2026-12-08T17:05:09.042+0000"},
        {december, 570, "2026-12-08T17:05:09.042-0930"},
        {december, -765, "2026-12-08T17:05:09.042+1245"},
        {{2027, 1, 2, 3, 4, 5, 6}, -60, "2027-01-02T03:04:05.006+0100"},
        {{1999, 12, 31, 23, 59, 59, 999}, 60, "1999-12-31T23:59:59.999-0100"},
    };
    for (const Case& c : cases) {
        char field[32];
        std::memset(field, 0x5A, sizeof field);
        formatTimestamp(c.time, c.bias, field);
        EXPECT_EQ(std::string(field, 28), c.expected) << "bias " << c.bias;
        EXPECT_EQ(std::string(field + 28, 4), "ZZZZ") << "wrote past the 28-byte field";
    }
}

// The edges of the plain fields, and fields that do not fit theirs: the latter keep the bytes a
// printf of the fields has always given (cut at 28), whatever route formats them.
TEST(FormatTimestamp, EdgeAndOutOfRangeFieldsKeepTheirLongStandingBytes) {
    struct Case {
        platform::LocalTime time;
        long bias;
        const char* expected;
    };
    const Case cases[] = {
        {{0, 1, 1, 0, 0, 0, 0}, 0, "0000-01-01T00:00:00.000+0000"},
        {{9999, 99, 99, 99, 99, 99, 999}, -5999, "9999-99-99T99:99:99.999+9959"},
        {{12345, 12, 8, 17, 5, 9, 42}, 300, "12345-12-08T17:05:09.04- 050"},
        {{2026, -1, 8, 17, 5, 9, 42}, -60, "2026--1-08T17:05:09.042+0100"},
        {{2026, 12, 8, 17, 5, 9, 1000}, 0, "2026-12-08T17:05:09.100+ 000"},
        {{2026, 12, 8, 17, 5, 9, 42}, 6000, "2026-12-08T17:05:09.042-1000"},
        {{2026, 12, 8, 17, 5, 9, 42}, -6039, "2026-12-08T17:05:09.042+1003"},
    };
    for (const Case& c : cases) {
        char field[32];
        std::memset(field, 0x5A, sizeof field);
        formatTimestamp(c.time, c.bias, field);
        EXPECT_EQ(std::string(field, 28), c.expected);
        EXPECT_EQ(std::string(field + 28, 4), "ZZZZ") << "wrote past the 28-byte field";
    }
}

TEST(MakeTimestamp, HasTheFixedShapeAndThisZonesOffset) {
    char field[32];
    std::memset(field, 0x5A, sizeof field);
    makeTimestamp(field);
    const std::string stamp(field, 28);
    for (std::size_t i = 0; i < stamp.size(); ++i) {
        switch (i) {
        case 4: case 7: EXPECT_EQ(stamp[i], '-') << stamp; break;
        case 10: EXPECT_EQ(stamp[i], 'T') << stamp; break;
        case 13: case 16: EXPECT_EQ(stamp[i], ':') << stamp; break;
        case 19: EXPECT_EQ(stamp[i], '.') << stamp; break;
        case 23: break;
        default: EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(stamp[i]))) << i << " " << stamp;
        }
    }
    const long bias = platform::standardBiasMinutes();
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02ld%02ld", bias > 0 ? '-' : '+', std::labs(bias) / 60,
                  std::labs(bias) % 60);
    EXPECT_EQ(stamp.substr(23), zone);
    EXPECT_EQ(std::string(field + 28, 4), "ZZZZ");
}

} // namespace
} // namespace kov::message
