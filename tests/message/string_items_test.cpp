#include "support/broker_fixture.h"

#include "message/reply_records.h"
#include "message/resource_strings.h"

#include <resources/strings.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <thread>

namespace kov::test {
namespace {

constexpr char16_t kCopyright[] = u"Copyright (c) 2026 KOV Broker team."; // 35 characters
constexpr char16_t kMaker[] = u"KOV Broker open-source project";       // 30
constexpr char16_t kProduct[] = u"KOV Broker message broker 1.0";      // 29

TEST(PutStringItem, ItemsFollowOneAnotherFromTheRunningOffset) {
    std::vector<std::uint8_t> record(320, 0);
    std::uint32_t running = 100;
    message::putStringItem(record.data(), running, 40, kCopyright);
    message::putStringItem(record.data(), running, 44, kMaker);
    message::putStringItem(record.data(), running, 52, kProduct);

    EXPECT_EQ(running, 306u);
    struct Item {
        std::uint32_t field, offset, count;
        const char* text;
    };
    const Item items[] = {{40, 100, 36, KOV_STR_COPYRIGHT},
                          {44, 176, 31, KOV_STR_MAKER},
                          {52, 242, 30, KOV_STR_PRODUCT}};
    for (const Item& item : items) {
        EXPECT_EQ(u32(record.data(), item.field), item.offset);
        EXPECT_EQ(u32(record.data(), item.offset), item.count);
        EXPECT_EQ(itemText(record.data(), item.offset), item.text);
        EXPECT_EQ(u16(record.data(), item.offset + 4 + 2 * (item.count - 1)), 0u) << "terminator";
    }
    for (std::size_t i = 306; i < record.size(); ++i) ASSERT_EQ(record[i], 0u) << "byte " << i;
}

TEST(PutStringItem, EmptyTextGetsOffsetZeroAndNoItem) {
    std::vector<std::uint8_t> record(200, 0xCC);
    std::vector<std::uint8_t> expected = record;
    std::memset(expected.data() + 40, 0, 4);
    std::uint32_t running = 100;
    message::putStringItem(record.data(), running, 40, u"");
    EXPECT_EQ(running, 100u);
    EXPECT_EQ(record, expected);
}

TEST(PutStringItem, LanguageTagTakesSixteenBytes) {
    std::vector<std::uint8_t> record(40, 0xCC);
    std::uint32_t running = 20;
    message::putStringItem(record.data(), running, 0, u"en|US");
    EXPECT_EQ(running, 36u);
    EXPECT_EQ(u32(record.data(), 0), 20u);
    EXPECT_EQ(u32(record.data(), 20), 6u);
    EXPECT_EQ(itemText(record.data(), 20), "en|US");
    EXPECT_EQ(u16(record.data(), 34), 0u);
    EXPECT_EQ(record[36], 0xCC) << "nothing past the item";
}

class ResourceStringTest : public BrokerTest {
protected:
    // Both buffers start dirty, so zero-filling shows.
    ResourceStringTest() {
        std::fill(std::begin(wide), std::end(wide), char16_t{0xBEEF});
        std::fill(std::begin(ansi), std::end(ansi), 'x');
    }
    std::string narrow(std::size_t units) const { return std::string(wide, wide + units); }
    std::size_t zeroUnitsFrom(std::size_t first) const {
        return static_cast<std::size_t>(std::count(wide + first, std::end(wide), 0));
    }

    char16_t wide[200];
    char ansi[400];
};

TEST_F(ResourceStringTest, ModuleStringsLoadWithTheirByteLengths) {
    struct Case {
        unsigned id;
        std::uint32_t bytes;
        const char* text;
    };
    const Case cases[] = {{1, 72, KOV_STR_COPYRIGHT},
                          {2, 62, KOV_STR_MAKER},
                          {3, 60, KOV_STR_PRODUCT},
                          {4, 12, "en|US"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        std::fill(std::begin(wide), std::end(wide), char16_t{0xBEEF});
        ASSERT_EQ(message::loadResourceString(c.id, wide, ansi), c.bytes);
        const std::size_t units = c.bytes / 2 - 1;
        EXPECT_EQ(narrow(units), c.text);
        EXPECT_EQ(zeroUnitsFrom(units), 200 - units) << "the rest of the buffer is zero";
    }
}

// Conversions are kept and shared between threads: every load, first or later, on any thread,
// must give the whole text, never one half written by another thread.
TEST_F(ResourceStringTest, LoadsOnManyThreadsAtOnceAllGiveTheWholeText) {
    const std::pair<unsigned, std::u16string> expected[] = {{1, kCopyright}, {2, kMaker},
                                                           {3, kProduct}, {4, u"en|US"}};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                for (const auto& [id, text] : expected) {
                    const message::ResourceString loaded(id);
                    if (loaded.bytes != 2 * text.size() + 2 ||
                        std::u16string(loaded.text) != text)
                        wrong.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ResourceStringTest, UnknownIdGivesZeroAndAnEmptyBuffer) {
    for (unsigned id : {5u, 99u, 4000u}) {
        std::fill(std::begin(wide), std::end(wide), char16_t{0xBEEF});
        EXPECT_EQ(message::loadResourceString(id, wide, ansi), 0u) << id;
        EXPECT_EQ(zeroUnitsFrom(0), 200u) << id;
    }
}

TEST_F(ResourceStringTest, FailedLoadGivesZeroAndTheNextLoadWorks) {
    faults::failNth(faults::Fault::LoadString, 1);
    EXPECT_EQ(message::loadResourceString(1, wide, ansi), 0u);
    EXPECT_EQ(zeroUnitsFrom(0), 200u);
    EXPECT_EQ(message::loadResourceString(1, wide, ansi), 72u);
}

} // namespace
} // namespace kov::test
