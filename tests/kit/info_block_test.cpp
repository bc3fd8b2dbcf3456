// The information blocks the kit builds: the byte layout at literal offsets, acceptance by the
// broker's own checker (message/info_check, as provider loading uses it) over thousands of random
// descriptions, and the kit's refusals.
#include "kit_test_support.h"

#include "message/reply_records.h"
#include "support/messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace kov::test::kit {
namespace {

// The UTF-16 units of the StringItem at `offset`, terminator excluded.
std::u16string itemAt(const std::uint8_t* payload, std::uint32_t offset) {
    std::u16string text;
    const std::uint32_t count = u32(payload, offset);
    for (std::uint32_t i = 0; i + 1 < count; ++i) text.push_back(u16(payload, offset + 4 + 2 * i));
    EXPECT_EQ(u16(payload, offset + 4 + 2 * (count - 1)), 0u) << "terminator";
    return text;
}

// A text as code points, and what the kit must make of it.
struct Text {
    std::string utf8;
    std::u16string utf16;
};

void append(Text& text, char32_t c) {
    if (c < 0x80) {
        text.utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
        text.utf8 += static_cast<char>(0xC0 | (c >> 6));
        text.utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text.utf8 += static_cast<char>(0xE0 | (c >> 12));
        text.utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text.utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        text.utf8 += static_cast<char>(0xF0 | (c >> 18));
        text.utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        text.utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text.utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
    if (c < 0x10000) {
        text.utf16 += static_cast<char16_t>(c);
    } else {
        text.utf16 += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        text.utf16 += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
}

TEST(KitInfoBlock, LaysOutTheBlockAtItsFixedOffsets) {
    const KovFunctionSet sets[] = {{0x601, 1, 0}, {0x602, 2, 3}};
    KovDescription d{};
    d.product = "xyz";
    d.maker = "KOV";
    d.copyright = "ab";
    d.sets = sets;
    d.setCount = 2;
    d.timestamp = "2024-01-02T03:04:05.678+0100";
    d.kind = 7;
    int result = -1;
    BrokerMessage* block = kov_buildInfoBlock(&d, &result);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(result, KOV_KIT_OK);
    // 72 fixed, 2 x 20 entries, items "ab" (4 + 6), "KOV" (4 + 8), "xyz" (4 + 8): 146.
    const auto* b = reinterpret_cast<const std::uint8_t*>(block);
    EXPECT_EQ(u32(b, 0), 44u + 146);
    EXPECT_EQ(u16(b, 4), 1u);
    EXPECT_EQ(u16(b, 6), 0u);
    EXPECT_EQ(u32(b, 8), 44u);
    EXPECT_EQ(allocatedSize(block), 44u + 146) << "nothing beyond the stated length";
    const std::uint8_t* p = b + 44;
    EXPECT_EQ(u32(p, 0), 146u);
    EXPECT_EQ(u16(p, 4), 1u);
    EXPECT_EQ(u16(p, 16), 1u) << "descriptor version";
    EXPECT_EQ(u32(p, 20), 7u) << "kind";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 24), 28), "2024-01-02T03:04:05.678+0100");
    EXPECT_EQ(u32(p, 52), 112u) << "copyright first";
    EXPECT_EQ(u32(p, 56), 122u);
    EXPECT_EQ(u32(p, 60), 0u) << "no fourth string";
    EXPECT_EQ(u32(p, 64), 134u);
    EXPECT_EQ(u32(p, 68), 2u);
    EXPECT_EQ(u32(p, 72), 20u);
    EXPECT_EQ(u32(p, 76), 1u);
    EXPECT_EQ(u32(p, 80), 0x601u);
    EXPECT_EQ(u32(p, 84), 0x00000001u) << "1.0";
    EXPECT_EQ(u32(p, 88), 0u) << "handle, the broker's to write";
    EXPECT_EQ(u32(p, 92), 0u) << "last entry";
    EXPECT_EQ(u32(p, 100), 0x602u);
    EXPECT_EQ(u32(p, 104), 0x00030002u) << "2.3";
    EXPECT_EQ(u32(p, 112), 3u);
    EXPECT_EQ(itemAt(p, 112), u"ab");
    EXPECT_EQ(itemAt(p, 122), u"KOV");
    EXPECT_EQ(itemAt(p, 134), u"xyz");
    EXPECT_EQ(kov_releaseBlock(block), 0);
    EXPECT_EQ(allocationsLive(), 0);
}

// Random descriptions: every block passes the broker's check, copies into a descriptor with the
// handle in every entry, and says exactly what it was given.
TEST(KitInfoBlock, TheBrokersCheckerAcceptsEveryBlockBuilt) {
    std::mt19937 random(20260504);
    const char32_t samples[] = {U'a', U'Z', U' ', U'\u00e9', U'\u07ff', U'\u0800', U'\u20ac',
                                U'\ud7ff', U'\ue000', U'\uffff', U'\U00010000', U'\U0001f600',
                                U'\U0010ffff'};
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        Text texts[3];
        bool absent[3];
        for (int i = 0; i < 3; ++i) {
            absent[i] = random() % 5 == 0;
            const unsigned length = random() % 4 == 0 ? random() % 600 : random() % 12;
            for (unsigned n = 0; !absent[i] && n < length; ++n)
                append(texts[i], samples[random() % std::size(samples)]);
        }
        std::vector<KovFunctionSet> sets(1 + random() % (random() % 8 == 0 ? 300 : 5));
        for (KovFunctionSet& set : sets)
            set = {static_cast<std::uint32_t>(random()), static_cast<std::uint16_t>(random()),
                   static_cast<std::uint16_t>(random())};
        KovDescription d{};
        d.copyright = absent[0] ? nullptr : texts[0].utf8.c_str();
        d.maker = absent[1] ? nullptr : texts[1].utf8.c_str();
        d.product = absent[2] ? nullptr : texts[2].utf8.c_str();
        d.sets = sets.data();
        d.setCount = static_cast<std::uint32_t>(sets.size());
        d.timestamp = round % 2 == 0 ? nullptr : "1999-12-31T23:59:60.999-1130";
        d.kind = static_cast<std::uint32_t>(random());

        BrokerMessage* block = kov_buildInfoBlock(&d, nullptr);
        ASSERT_NE(block, nullptr);
        ASSERT_EQ(allocatedSize(block), block->totalLength);
        message::InfoBlock info{};
        const message::InfoFault fault = message::checkInfoBlock(block, &info);
        ASSERT_TRUE(fault.ok()) << message::infoRuleText(fault.rule) << " at " << fault.offset;
        ASSERT_EQ(block->totalLength, 44 + info.payloadLength);
        ASSERT_EQ(info.setCount, sets.size());

        std::vector<std::uint8_t> copy(info.payloadLength - 12);
        ASSERT_TRUE(message::copyDescriptor(info, copy.data(), 0xABCD));
        for (std::uint32_t i = 0; i < sets.size(); ++i) {
            const std::uint32_t entry = 60 + 20 * i;
            EXPECT_EQ(u32(copy.data(), entry + 8), sets[i].functionSet);
            EXPECT_EQ(u16(copy.data(), entry + 12), sets[i].setMajor);
            EXPECT_EQ(u16(copy.data(), entry + 14), sets[i].setMinor);
            EXPECT_EQ(u32(copy.data(), entry + 16), 0xABCDu);
        }
        EXPECT_EQ(u32(copy.data(), 8), d.kind);
        const std::uint32_t fields[3] = {40, 44, 52};
        for (int i = 0; i < 3; ++i) {
            const std::uint32_t offset = u32(copy.data(), fields[i]);
            if (texts[i].utf16.empty())
                EXPECT_EQ(offset, 0u) << "an absent or empty text gets no item";
            else
                EXPECT_EQ(itemAt(copy.data(), offset), texts[i].utf16);
        }
        ASSERT_EQ(kov_releaseBlock(block), 0);
    }
    EXPECT_EQ(allocationsLive(), 0);
}

TEST(KitInfoBlock, RefusesWhatItCannotDescribe) {
    const KovFunctionSet set = {0x100, 1, 0};
    struct Case {
        const char* what;
        const char* product;
        const char* timestamp;
        std::uint32_t setCount;
        bool noSets;
        int expected;
    };
    const Case cases[] = {
        {"no sets", "p", nullptr, 0, false, KOV_KIT_BAD_ARGUMENT},
        {"sets missing", "p", nullptr, 1, true, KOV_KIT_BAD_ARGUMENT},
        {"stray continuation byte", "a\x80", nullptr, 1, false, KOV_KIT_BAD_TEXT},
        {"overlong NUL", "\xC0\x80", nullptr, 1, false, KOV_KIT_BAD_TEXT},
        {"overlong three bytes", "\xE0\x9F\xBF", nullptr, 1, false, KOV_KIT_BAD_TEXT},
        {"surrogate", "\xED\xA0\x80", nullptr, 1, false, KOV_KIT_BAD_TEXT},
        {"past U+10FFFF", "\xF4\x90\x80\x80", nullptr, 1, false, KOV_KIT_BAD_TEXT},
        {"overlong four bytes", "\xF0\x8F\xBF\xBF", nullptr, 1, false, KOV_KIT_BAD_TEXT},
        {"cut short at the end", "ok\xE2\x82", nullptr, 1, false, KOV_KIT_BAD_TEXT},
        {"five-byte lead", "\xF8\x88\x80\x80\x80", nullptr, 1, false, KOV_KIT_BAD_TEXT},
        {"timestamp short", "p", "2024-01-02T03:04:05.678+010", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"timestamp long", "p", "2024-01-02T03:04:05.678+01000", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"timestamp empty", "p", "", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"blank for T", "p", "2024-01-02 03:04:05.678+0100", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"Z for the offset", "p", "2024-01-02T03:04:05.678Z0000", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"letter for a digit", "p", "2024-0a-02T03:04:05.678+0100", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"month 13", "p", "2024-13-02T03:04:05.678+0100", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"month 0", "p", "2024-00-02T03:04:05.678+0100", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"April 31", "p", "2024-04-31T03:04:05.678+0100", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"29 February 2023", "p", "2023-02-29T03:04:05.678+0100", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"29 February 1900", "p", "1900-02-29T03:04:05.678+0100", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"hour 24", "p", "2024-01-02T24:00:00.000+0100", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"second 61", "p", "2024-01-02T23:59:61.000+0100", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"offset minutes 60", "p", "2024-01-02T03:04:05.678+0160", 1, false, KOV_KIT_BAD_TIMESTAMP},
        {"more entries than 32 bits hold", "p", nullptr, 0x0CCCCCCC, false, KOV_KIT_TOO_LARGE},
        {"29 February 2000", "p", "2000-02-29T03:04:05.678-0000", 1, false, KOV_KIT_OK},
        {"29 February 2024", "p", "2024-02-29T23:59:59.999+2359", 1, false, KOV_KIT_OK},
        {"product only", "p", nullptr, 1, false, KOV_KIT_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KovDescription d{};
        d.product = c.product;
        d.sets = c.noSets ? nullptr : &set;
        d.setCount = c.setCount;
        d.timestamp = c.timestamp;
        const unsigned made = allocationsMade();
        int result = -1;
        BrokerMessage* block = kov_buildInfoBlock(&d, &result);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(block != nullptr, c.expected == KOV_KIT_OK);
        if (c.expected != KOV_KIT_OK) {
            EXPECT_EQ(allocationsMade(), made) << "refused before allocating";
        }
        kov_releaseBlock(block);
    }
    EXPECT_EQ(kov_buildInfoBlock(nullptr, nullptr), nullptr);
    EXPECT_EQ(allocationsLive(), 0);
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long daysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

// "Now" is the local time with the offset in effect: taken back to UTC it is the current time.
TEST(KitInfoBlock, NowIsTheLocalTimeWithItsOffset) {
    const KovFunctionSet set = {0x100, 1, 0};
    KovDescription d{};
    d.sets = &set;
    d.setCount = 1;
    const std::time_t before = std::time(nullptr);
    BrokerMessage* block = kov_buildInfoBlock(&d, nullptr);
    const std::time_t after = std::time(nullptr);
    ASSERT_NE(block, nullptr);
    const std::string stamp(reinterpret_cast<const char*>(kov_payload(block)) + 24, 28);
    kov_releaseBlock(block);

    // The kit accepts its own stamp as a given one.
    d.timestamp = stamp.c_str();
    int result = -1;
    kov_releaseBlock(kov_buildInfoBlock(&d, &result));
    ASSERT_EQ(result, KOV_KIT_OK) << stamp;

    const auto field = [&](int at, int n) { return std::stoi(stamp.substr(at, n)); };
    const long long local = daysFromCivil(field(0, 4), field(5, 2), field(8, 2)) * 86400 +
                            field(11, 2) * 3600 + field(14, 2) * 60 + field(17, 2);
    const long long east = (stamp[23] == '-' ? -1 : 1) * (field(24, 2) * 3600 + field(26, 2) * 60);
    const long long utc = local - east;
    EXPECT_GE(utc, static_cast<long long>(before) - 1) << stamp;
    EXPECT_LE(utc, static_cast<long long>(after) + 1) << stamp;
}

// Out of memory at each allocation in turn: null, KOV_KIT_NO_MEMORY, nothing left allocated.
TEST(KitInfoBlock, NoMemoryAtAnyStepLeavesNothingBehind) {
    const KovFunctionSet set = {0x100, 1, 0};
    KovDescription d{};
    d.product = "p";
    d.sets = &set;
    d.setCount = 1;
    for (unsigned n = 1;; ++n) {
        SCOPED_TRACE(n);
        int result = -1;
        BrokerMessage* block;
        {
            const AllocationFault fault(n);
            block = kov_buildInfoBlock(&d, &result);
        }
        if (block != nullptr) {
            EXPECT_GT(n, 1u) << "the first allocation failed, yet a block came";
            kov_releaseBlock(block);
            break;
        }
        EXPECT_EQ(result, KOV_KIT_NO_MEMORY);
        EXPECT_EQ(allocationsLive(), 0);
    }
    EXPECT_EQ(allocationsLive(), 0);
}

} // namespace
} // namespace kov::test::kit
