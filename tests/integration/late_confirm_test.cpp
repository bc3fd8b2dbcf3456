// A confirm that comes after its synchronous call has ended (the provider refused the call, or the
// call was ended by a null) is never taken for a later call, however many calls come between. The
// module is loaded with four generations per wait entry (a test hook), so the ended call's token
// would come round again within four calls of its thread.
#include "integration/module_harness.h"
#include "support/watchdog.h"

#include <chrono>
#include <thread>

namespace kov::integration {
namespace {

using test::Request;

constexpr std::uint32_t kDeferringSet = 0x620;

class LateConfirmTest : public FewGenerationsTest<4> {
protected:
    // kov_SendSync; the confirm's reserved field (its request's), or 0 when none came back.
    std::uint32_t reservedOfAnswer(Request& request) {
        BrokerMessage* confirm = nullptr;
        module_->sendSync(request.get(), &confirm);
        if (confirm == nullptr) return 0;
        const std::uint32_t reserved = confirm->reserved;
        module_->deleteConfirm(confirm);
        return reserved;
    }
};

TEST_F(LateConfirmTest, AConfirmAfterItsCallEndedIsNeverTakenForALaterCall) {
    const std::string path = providerPath("kov_test_deferring");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Deferring", {path}));
    const ProviderHandle deferring = handleServing(list(), kDeferringSet);
    ASSERT_NE(deferring, 0u);
    const ProviderLibrary library(path);
    ASSERT_TRUE(library.loaded());
    const test::Deadline deadline("late confirms", 120);

    enum class Ending { Refused, EndedByNull };
    for (const Ending ending : {Ending::Refused, Ending::EndedByNull}) {
        SCOPED_TRACE(ending == Ending::Refused ? "refused" : "ended by a null");
        // A thread of its own: its wait entry serves this call and the ones after it only.
        std::thread caller([&] {
            Request ended(deferring, kDeferringSet, ending == Ending::Refused ? 2 : 0);
            ended->reserved = 0xDEAD;
            std::thread failer;
            if (ending == Ending::EndedByNull) {
                // Once the call waits, code 4 fails it with a null and keeps its header.
                failer = std::thread([&] {
                    while (library.counters().pendingConfirms == 0)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    Request fail(deferring, kDeferringSet, 4);
                    test::ConfirmCollector collector(0);
                    collector.use(fail.get());
                    module_->send(fail.get());
                });
            }
            EXPECT_EQ(reservedOfAnswer(ended), 0u);
            if (failer.joinable()) failer.join();
            // Three calls, then the one whose token would be the ended call's again: the provider
            // delivers the ended call's confirm first, then its own.
            for (std::uint32_t n = 1; n <= 4; ++n) {
                Request later = n < 4 ? Request(0, KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE)
                                      : Request(deferring, kDeferringSet, 3);
                later->reserved = n;
                EXPECT_EQ(reservedOfAnswer(later), n) << "call " << n << " after the ended one";
            }
        });
        caller.join();
    }
}

} // namespace
} // namespace kov::integration
