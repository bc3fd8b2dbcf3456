// The common function set (0xFFFF) at handle 0: GetLanguage, CheckLanguage, and the codes and
// versions it does not serve. Its Reload is covered with broker function 3.
#include "support/broker_fixture.h"
#include "support/caller_view.h"

#include <algorithm>

namespace kov::test {
namespace {

using CommonFunctionsTest = BrokerTest;

TEST_F(CommonFunctionsTest, GetLanguageAnswersTheTagAsAStringItem) {
    loadProviders();
    for (std::uint32_t headerLength : {44u, 48u}) {
        SCOPED_TRACE(headerLength);
        Request request(0, 0xFFFF, KOV_COMMON_FN_GET_LANGUAGE, headerLength);
        std::vector<std::uint8_t> reply;
        ASSERT_TRUE(sendForConfirm(request, &reply));
        ASSERT_EQ(reply.size(), headerLength + 44);
        EXPECT_EQ(u32(reply.data(), 0), headerLength + 44);
        EXPECT_EQ(u32(reply.data(), 32), 0u);
        EXPECT_EQ(request->status, 0u);
        const std::uint8_t* p = reply.data() + headerLength;
        EXPECT_EQ(u32(p, 0), 44u);
        EXPECT_EQ(u16(p, 4), 1u);
        EXPECT_EQ(u16(p, 6), 0u);
        for (std::uint32_t offset : {8u, 12u, 16u}) EXPECT_EQ(u32(p, offset), 0u) << offset;
        EXPECT_EQ(u32(p, 20), 1u);
        EXPECT_EQ(u32(p, 24), 6u);
        EXPECT_EQ(std::vector<std::uint8_t>(p + 28, p + 40), utf16("en|US"));
        EXPECT_EQ(u32(p, 40), 0u) << "four zero bytes close the payload";
    }
}

// The tag, with its terminator, lies at payload offset 20; only bytes inside the message count.
TEST_F(CommonFunctionsTest, CheckLanguageComparesTheTagExactly) {
    const auto tagAt20 = [](const std::string& tag, std::size_t keep,
                            const std::vector<std::uint8_t>& after = {}) {
        std::vector<std::uint8_t> payload(20, 0x55);
        const std::vector<std::uint8_t> text = utf16(tag);
        payload.insert(payload.end(), text.begin(), text.end());
        payload.insert(payload.end(), after.begin(), after.end());
        payload.resize(std::min(payload.size(), 20 + keep));
        return payload;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> payload;
        std::uint32_t status;
    };
    const Case cases[] = {
        {"the tag", tagAt20("en|US", 100), 0},
        {"bytes after the terminator", tagAt20("en|US", 100, {'A', 0, 'B', 0, 'x'}), 0},
        {"lower case", tagAt20("en|us", 100), 34},
        {"a longer tag", tagAt20("en|USA", 100), 34},
        {"a shorter tag", tagAt20("en|U", 100), 34},
        {"an empty text", tagAt20("", 100), 34},
        {"message ends inside the terminator", tagAt20("en|US", 11), 34},
        {"message ends before the tag", tagAt20("en|US", 0), 34},
        {"no payload at all", {}, 34},
    };
    loadProviders();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request request(0, 0xFFFF, KOV_COMMON_FN_CHECK_LANGUAGE, 44, c.payload);
        std::vector<std::uint8_t> confirm;
        ASSERT_TRUE(sendForConfirm(request, &confirm));
        ASSERT_EQ(confirm.size(), 44u);
        EXPECT_EQ(u32(confirm.data(), 32), c.status);
        EXPECT_EQ(request->status, c.status);
    }
}

TEST_F(CommonFunctionsTest, UnservedCodesAndVersionsAreRefused) {
    struct Case {
        std::uint16_t setMajor, setMinor;
        std::uint32_t functionCode, status;
    };
    const Case cases[] = {{1, 0, 0, 6}, {1, 0, 1, 6},  {1, 0, 3, 6},  {1, 0, 6, 6},
                          {2, 0, 4, 25}, {1, 1, 5, 25}, {2, 0, 2, 25}, {0, 0, 0, 25}};
    loadProviders();
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "v" << c.setMajor << "." << c.setMinor << " code "
                                          << c.functionCode);
        Request request(0, 0xFFFF, c.functionCode, 44, utf16("en|US"));
        request->setMajor = c.setMajor;
        request->setMinor = c.setMinor;
        std::vector<std::uint8_t> confirm;
        ASSERT_TRUE(sendForConfirm(request, &confirm));
        ASSERT_EQ(confirm.size(), 44u);
        EXPECT_EQ(u32(confirm.data(), 32), c.status);
        EXPECT_EQ(request->status, c.status);
    }
}

// Without the tag in the string table the reply carries the bare terminator, and every check
// passes: there is nothing to compare.
TEST_F(CommonFunctionsTest, MissingTagGivesAnEmptyItemAndAcceptsAnyCheck) {
    loadProviders();
    faults::failNth(faults::Fault::LoadString, 1, true);
    Request language(0, 0xFFFF, KOV_COMMON_FN_GET_LANGUAGE);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(sendForConfirm(language, &reply));
    ASSERT_EQ(reply.size(), 44u + 32);
    const std::uint8_t* p = reply.data() + 44;
    EXPECT_EQ(u32(p, 0), 32u);
    EXPECT_EQ(u32(p, 20), 1u);
    EXPECT_EQ(u32(p, 24), 1u);
    EXPECT_EQ(u32(p, 28), 0u) << "the bare terminator, zeros to the end";

    for (const char* tag : {"xx", "en|US", ""}) {
        SCOPED_TRACE(tag);
        std::vector<std::uint8_t> payload(20, 0);
        const std::vector<std::uint8_t> text = utf16(tag);
        payload.insert(payload.end(), text.begin(), text.end());
        Request check(0, 0xFFFF, KOV_COMMON_FN_CHECK_LANGUAGE, 44, payload);
        std::vector<std::uint8_t> confirm;
        ASSERT_TRUE(sendForConfirm(check, &confirm));
        EXPECT_EQ(u32(confirm.data(), 32), 0u);
    }
    EXPECT_GE(faults::callsSeen(faults::Fault::LoadString), 4u);
    faults::clear();
}

} // namespace
} // namespace kov::test
