// UTF-8 as the ANSI code page: exact encodings, refusal of malformed input, and sizes.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kov::platform {
namespace {

struct Pair {
    std::string utf8;
    std::u16string utf16;
};

TEST(PlatformTextUtf8, EncodesBothWaysExactly) {
    const Pair pairs[] = {
        {"\xC3\xA9", u"\u00E9"},                          // two bytes
        {"\xE2\x82\xAC", u"\u20AC"},                      // three bytes
        {"\xEF\xBF\xBF", u"\uFFFF"},                      // top of the BMP
        {"\xF0\x9D\x84\x9E", u"\xD834\xDD1E"},            // surrogate pair
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},            // U+10FFFF
        {"a\xC3\xA9z\xF0\x90\x80\x80.", u"a\u00E9z\xD800\xDC00."},
    };
    for (const Pair& p : pairs) {
        char16_t wide[16];
        const int units = ansiToWide(p.utf8.data(), static_cast<int>(p.utf8.size()), wide, 16);
        EXPECT_EQ(p.utf16, std::u16string(wide, units > 0 ? units : 0)) << p.utf8;
        char ansi[16];
        const int bytes = wideToAnsi(p.utf16.data(), static_cast<int>(p.utf16.size()), ansi, 16);
        EXPECT_EQ(p.utf8, std::string(ansi, bytes > 0 ? bytes : 0)) << p.utf8;
    }
}

TEST(PlatformTextUtf8, MalformedUtf8IsRefused) {
    const std::string bad[] = {
        "\xC3",             // cut short
        "a\xF0\x9D\x84",    // cut short after a valid character
        "\x80",             // stray continuation byte
        "\xC3\x28",         // lead byte without continuation
        "\xC0\xAF",         // overlong '/'
        "\xE0\x80\xAF",     // overlong '/'
        "\xED\xA0\x80",     // encoded surrogate
        "\xF4\x90\x80\x80", // beyond U+10FFFF
        "\xFF",
    };
    for (const std::string& text : bad) {
        char16_t wide[16];
        EXPECT_EQ(0, ansiToWide(text.data(), static_cast<int>(text.size()), wide, 16))
            << "length " << text.size();
    }
    // The length, not a terminator, ends the input: half of "é" is malformed.
    char16_t wide[4];
    EXPECT_EQ(0, ansiToWide("\xC3\xA9", 1, wide, 4));
}

TEST(PlatformTextUtf8, UnpairedSurrogatesAreRefused) {
    const std::u16string bad[] = {u"\xD834", u"\xDD1E", u"\xD834" u"a", u"a\xDC00", u"\xDC00\xD800"};
    for (const std::u16string& text : bad) {
        char ansi[16];
        EXPECT_EQ(0, wideToAnsi(text.data(), static_cast<int>(text.size()), ansi, 16));
    }
}

TEST(PlatformTextUtf8, CharactersAreNeverSplitToFit) {
    char ansi[8];
    EXPECT_EQ(0, wideToAnsi(u"a\u00E9", 2, ansi, 2));
    EXPECT_EQ(3, wideToAnsi(u"a\u00E9", 2, ansi, 3));
    char16_t wide[4];
    EXPECT_EQ(0, ansiToWide("\xF0\x9D\x84\x9E", 4, wide, 1));
    EXPECT_EQ(2, ansiToWide("\xF0\x9D\x84\x9E", 4, wide, 2));
    EXPECT_EQ(1, ansiToWide("\xC3\xA9", 2, wide, 1));
}

} // namespace
} // namespace kov::platform
