// ANSI <-> UTF-16 conversion: only cases whose results agree on every ANSI code page the broker
// runs with (UTF-8 on POSIX, 1252 under Wine).
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kov::platform {
namespace {

TEST(PlatformText, AsciiRoundTripsWithoutATerminator) {
    const char ansi[] = "Software\\KOV_Broker\\Provider List";
    const int length = static_cast<int>(std::strlen(ansi));
    char16_t wide[64];
    for (char16_t& u : wide) u = 0xFFFF;
    ASSERT_EQ(length, ansiToWide(ansi, length, wide, 64));
    EXPECT_EQ(std::u16string(u"Software\\KOV_Broker\\Provider List"), std::u16string(wide, length));
    EXPECT_EQ(0xFFFF, wide[length]);

    char back[64];
    std::memset(back, 'x', sizeof back);
    ASSERT_EQ(length, wideToAnsi(wide, length, back, sizeof back));
    EXPECT_EQ(std::string(ansi), std::string(back, length));
    EXPECT_EQ('x', back[length]);
}

TEST(PlatformText, ConvertsOnlyTheGivenLength) {
    char16_t wide[8] = {};
    ASSERT_EQ(3, ansiToWide("abcdef", 3, wide, 8));
    EXPECT_EQ(std::u16string(u"abc"), std::u16string(wide, 3));
    EXPECT_EQ(0, wide[3]);
}

TEST(PlatformText, ResultThatDoesNotFitFails) {
    char16_t wide[8];
    EXPECT_EQ(5, ansiToWide("hello", 5, wide, 5));
    EXPECT_EQ(0, ansiToWide("hello", 5, wide, 4));
    char ansi[8];
    EXPECT_EQ(5, wideToAnsi(u"hello", 5, ansi, 5));
    EXPECT_EQ(0, wideToAnsi(u"hello", 5, ansi, 4));
}

// Latin-1 letters exist in both code pages, so UTF-16 -> ANSI -> UTF-16 gives them back whatever
// their ANSI bytes are.
TEST(PlatformText, LatinLettersSurviveARoundTripFromUtf16) {
    const std::u16string original = u"Z\u00FCrich caf\u00E9 \u00C5ngstr\u00F6m";
    char ansi[64];
    const int bytes = wideToAnsi(original.data(), static_cast<int>(original.size()), ansi, 64);
    ASSERT_GT(bytes, 0);
    char16_t back[64];
    const int units = ansiToWide(ansi, bytes, back, 64);
    EXPECT_EQ(original, std::u16string(back, units));
}

} // namespace
} // namespace kov::platform
