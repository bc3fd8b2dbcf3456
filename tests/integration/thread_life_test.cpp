// A thread that ends inside a provider's entry (on Windows with ExitThread: nothing of the call
// runs on the way out) leaves nothing behind: no pin that would keep every replaced provider list,
// no call waiting in its wait entry, and the next thread that takes its slot calls as any other.
#include "integration/module_harness.h"
#include "support/watchdog.h"

#include <thread>

namespace kov::integration {
namespace {

using test::Request;
using test::u32;

constexpr std::uint32_t kEndingSet = 0x630;

using ThreadLifeTest = ModuleTest;

TEST_F(ThreadLifeTest, AThreadEndingInsideACallLeavesNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Ending", {providerPath("kov_test_thread_ending")}));
    const ProviderHandle ending = handleServing(list(), kEndingSet);
    ASSERT_NE(ending, 0u);
    const test::Deadline deadline("a thread that ends inside a call", 120);
    const auto bytesInUse = [this] {
        Request statistics(0, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_STATISTICS);
        const std::vector<std::uint8_t> reply = call(statistics);
        return reply.size() >= 44 + 108 ? u32(reply.data(), 44 + 96) : 0xFFFFFFFFu;
    };
    const std::uint32_t before = bytesInUse();

    std::thread([&] {
        Request request(ending, kEndingSet, 0);
        BrokerMessage* confirm = nullptr;
        module_->sendSync(request.get(), &confirm);
        ADD_FAILURE() << "the thread went on after its provider ended it";
    }).join();

    // Each reload replaces the list; a pin left by the ended call would keep every replaced one.
    for (int n = 0; n < 2; ++n) {
        Request reload(0, KOV_BROKER_FUNCTION_SET, KOV_FN_RELOAD);
        const std::vector<std::uint8_t> reply = call(reload);
        ASSERT_GE(reply.size(), 44u);
        EXPECT_EQ(u32(reply.data(), 32), 0u) << "Reload status";
    }
    EXPECT_EQ(bytesInUse(), before);
    for (int n = 0; n < 4; ++n) // threads that take the freed slot and wait entry
        std::thread([&] {
            Request language(0, KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE);
            EXPECT_EQ(call(language).size(), 44u + 44u);
        }).join();
}

} // namespace
} // namespace kov::integration
