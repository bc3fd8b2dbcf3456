#include "message/status_names.h"

#include <gtest/gtest.h>

#include <string>

namespace kov::message {
namespace {

TEST(StatusName, EveryCodeTheBrokerProducesHasItsName) {
    struct Case {
        std::uint32_t code;
        const char* name;
    };
    const Case cases[] = {
        {0, "STATUS_OK"},
        {2, "STATUS_NO_EVENT"},
        {3, "STATUS_NO_MEMORY"},
        {4, "STATUS_UNKNOWN_PROVIDER"},
        {5, "STATUS_UNKNOWN_SET"},
        {6, "STATUS_UNKNOWN_FUNCTION"},
        {7, "STATUS_DEREGISTER_FAILED"},
        {8, "STATUS_REGISTRY_ERROR"},
        {9, "STATUS_REGISTER_WRITE_FAILED"},
        {10, "STATUS_PROVIDER_LOAD_FAILED"},
        {11, "STATUS_ALREADY_REGISTERED"},
        {12, "STATUS_MALFORMED_CONFIRM"},
        {25, "STATUS_BAD_VERSION"},
        {34, "STATUS_LANGUAGE_MISMATCH"},
    };
    for (const Case& c : cases) {
        const char* name = statusName(c.code);
        ASSERT_NE(name, nullptr) << c.code;
        EXPECT_EQ(std::string(name), c.name) << c.code;
    }
}

TEST(StatusName, OtherCodesHaveNone) {
    for (std::uint32_t code : {1u, 13u, 24u, 26u, 33u, 35u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_EQ(statusName(code), nullptr) << code;
}

} // namespace
} // namespace kov::message
