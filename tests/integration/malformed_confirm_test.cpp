// A provider's confirm whose header breaks its own lengths never reaches a kov_SendSync caller:
// the confirm goes back to its provider, and the caller gets the broker's header-only confirm with
// status 12 instead. A length the header rules cannot check (a totalLength beyond the block) is
// passed on as it came.
#include "integration/module_harness.h"

namespace kov::integration {
namespace {

using test::Request;

constexpr std::uint32_t kMalformedSet = 0x6b00;

using MalformedConfirmTest = ModuleTest;

TEST_F(MalformedConfirmTest, ASynchronousCallerNeverGetsAConfirmWhoseHeaderLies) {
    const std::string path = providerPath("kov_test_malformed_confirm");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Malformed", {path}));
    const ProviderHandle provider = handleServing(list(), kMalformedSet);
    ASSERT_NE(provider, 0u);
    const ProviderLibrary library(path);
    ASSERT_TRUE(library.loaded());
    const KovProviderCounters before = library.counters();

    struct Case {
        std::uint32_t code;
        const char* lie;
        bool handedOn;
    };
    for (const Case c : {Case{0, "totalLength 20", false}, Case{1, "headerLength 4096", false},
                         Case{3, "headerLength 40", false}, Case{2, "totalLength 1 GiB", true}}) {
        SCOPED_TRACE(c.lie);
        Request request(provider, kMalformedSet, c.code);
        request->reserved = 0xC0DE0000 + c.code;
        BrokerMessage* confirm = nullptr;
        EXPECT_NE(module_->sendSync(request.get(), &confirm), 0);
        ASSERT_NE(confirm, nullptr);
        // Only the 44 header bytes are read: the malformed ones may hold no more.
        EXPECT_EQ(confirm->reserved, request->reserved);
        EXPECT_EQ(confirm->provider, provider);
        if (c.handedOn) {
            EXPECT_EQ(confirm->status, 0u);
            EXPECT_EQ(confirm->totalLength, 1u << 30);
        } else {
            EXPECT_EQ(confirm->status, 12u);
            EXPECT_EQ(request->status, 12u);
            EXPECT_EQ(confirm->totalLength, 44u);
            EXPECT_EQ(confirm->headerLength, 44u);
        }
        EXPECT_EQ(module_->deleteConfirm(confirm), 0);
    }
    // Every confirm the provider built went back to it: the malformed ones at once.
    const KovProviderCounters after = library.counters();
    EXPECT_EQ(after.confirmsBuilt - before.confirmsBuilt, 4);
    EXPECT_EQ(after.confirmsReleased - before.confirmsReleased, 4);
}

} // namespace
} // namespace kov::integration
