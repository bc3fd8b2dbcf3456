// kov_Send, kov_SendSync and kov_DeleteConfirm through the module's exports.
#include "integration/module_harness.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kov::integration {
namespace {

using test::Request;
using test::u32;

using SendTest = ModuleTest;

// Bytes in use according to the broker, read through GetStatistics. The reply counts its own
// block, so two readings agree exactly when nothing else stayed allocated.
std::uint32_t bytesInUse(const std::vector<std::uint8_t>& reply) {
    return reply.size() >= 152 ? u32(reply.data(), 44 + 96) : 0xFFFFFFFF;
}

TEST_F(SendTest, HandleZeroIsAnsweredByTheBrokerProviderBeforeSendReturns) {
    test::ConfirmCollector collector(1);
    Request request(0, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO);
    request->reserved = 0xA5A5F00D;
    collector.use(request.get());
    EXPECT_EQ(module_->send(request.get()), 0);

    // Delivered on this thread: no waiting.
    const auto deliveries = collector.deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(request->status, 0u);
    EXPECT_EQ(deliveries[0].status, 0u);
    EXPECT_EQ(u32(deliveries[0].bytes.data(), 12), 0u);
    EXPECT_EQ(u32(deliveries[0].bytes.data(), 28), 0xA5A5F00Du);
    // GetBrokerInfo with strings of 35, 30 and 29 characters: a 278-byte payload.
    EXPECT_EQ(deliveries[0].bytes.size(), 44u + 278u);
    EXPECT_EQ(module_->deleteConfirm(deliveries[0].confirm), 0);
}

TEST_F(SendTest, ProviderConfirmIsKeptAndReleasedThroughDeleteConfirm) {
    const std::string path = providerPath("kov_test_immediate");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Immediate", {path}));
    const ProviderHandle handle = handleServing(list(), 0x100);
    ASSERT_NE(handle, 0u);
    const ProviderLibrary library(path);
    ASSERT_TRUE(library.loaded());
    const KovProviderCounters before = library.counters();

    test::ConfirmCollector collector(1);
    Request request(handle, 0x100, 0, 44, {0x11, 0x22, 0x33, 0x44, 0x55});
    collector.use(request.get());
    EXPECT_EQ(module_->send(request.get()), 0);
    const auto deliveries = collector.deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    ASSERT_EQ(deliveries[0].bytes.size(), 49u);
    EXPECT_EQ(deliveries[0].status, 0u);
    EXPECT_EQ(u32(deliveries[0].bytes.data(), 12), handle);
    EXPECT_EQ(deliveries[0].bytes[48], 0x55);

    KovProviderCounters after = library.counters();
    EXPECT_EQ(after.receives, before.receives + 1);
    EXPECT_EQ(after.confirmsBuilt, before.confirmsBuilt + 1);
    EXPECT_EQ(after.confirmsReleased, before.confirmsReleased);

    EXPECT_EQ(module_->deleteConfirm(deliveries[0].confirm), 0);
    after = library.counters();
    EXPECT_EQ(after.confirmsReleased, before.confirmsReleased + 1);
}

// An unknown handle: a header-only copy of the request with status 4, whatever the header length.
TEST_F(SendTest, UnknownHandleGetsHeaderOnlyErrorConfirm) {
    struct Case {
        std::uint32_t headerLength;
        std::int32_t keep;
    };
    for (const Case c : {Case{44, 1}, Case{48, 1}, Case{44, 0}, Case{48, 0}}) {
        SCOPED_TRACE("headerLength " + std::to_string(c.headerLength) + " keep " +
                     std::to_string(c.keep));
        Request statistics(0, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_STATISTICS);
        const std::uint32_t inUseBefore = bytesInUse(call(statistics));

        Request request(0x7FFFFFF0, 0x100, 3, c.headerLength, {1, 2, 3, 4, 5, 6, 7, 8});
        request->reserved = 0x01020304;
        for (std::uint32_t i = 44; i < c.headerLength; ++i) request.bytes()[i] = 0xC0 + i;
        test::ConfirmCollector collector(c.keep);
        collector.use(request.get());
        // The result is what the callback answered.
        EXPECT_EQ(module_->send(request.get()), c.keep);
        EXPECT_EQ(request->status, 4u);

        const auto deliveries = collector.deliveries();
        ASSERT_EQ(deliveries.size(), 1u);
        const std::vector<std::uint8_t>& confirm = deliveries[0].bytes;
        ASSERT_EQ(confirm.size(), c.headerLength);
        EXPECT_EQ(u32(confirm.data(), 0), c.headerLength);
        EXPECT_EQ(u32(confirm.data(), 32), 4u);
        for (std::uint32_t i = 4; i < c.headerLength; ++i) {
            if (i < 32 || i >= 36) {
                EXPECT_EQ(confirm[i], request.bytes()[i]) << "byte " << i;
            }
        }
        if (c.keep != 0) {
            EXPECT_EQ(module_->deleteConfirm(deliveries[0].confirm), 0);
        }
        Request again(0, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_STATISTICS);
        EXPECT_EQ(bytesInUse(call(again)), inUseBefore) << "error confirm leaked";
    }
}

using SendSyncTest = ModuleTest;

std::atomic<int> callerCallbackCalls{0};
std::int32_t KOV_CALL countingCallback(BrokerMessage*) {
    ++callerCallbackCalls;
    return 0;
}

TEST_F(SendSyncTest, HandleZeroReturnsTheStatisticsReplyAtOnce) {
    callerCallbackCalls = 0;
    for (std::uint64_t call = 1; call <= 2; ++call) {
        Request request(0, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_STATISTICS);
        request->callback = countingCallback;
        BrokerMessage* confirm = nullptr;
        EXPECT_NE(module_->sendSync(request.get(), &confirm), 0);
        ASSERT_NE(confirm, nullptr);
        EXPECT_EQ(confirm->totalLength, 152u);
        EXPECT_EQ(confirm->status, 0u);
        const std::uint8_t* record = reinterpret_cast<const std::uint8_t*>(confirm) + 44;
        EXPECT_EQ(u32(record, 0), 108u);
        // The call sees itself: syncCalls, syncDelivered, and one caller waiting.
        EXPECT_EQ(test::u64(record, 68), call);
        EXPECT_EQ(test::u64(record, 76), call);
        EXPECT_EQ(test::u64(record, 84), 0u);
        EXPECT_EQ(u32(record, 104), 1u);
        EXPECT_EQ(module_->deleteConfirm(confirm), 0);
    }
    EXPECT_EQ(callerCallbackCalls.load(), 0);
}

TEST_F(SendSyncTest, WaitsForAProviderThatConfirmsFromItsOwnThread) {
    const std::string path = providerPath("kov_test_threaded");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Threaded", {path}));
    const ProviderHandle handle = handleServing(list(), 0x200);
    ASSERT_NE(handle, 0u);
    const ProviderLibrary library(path);
    ASSERT_TRUE(library.loaded());

    // The payload's first u32 is the provider's delay in milliseconds.
    std::vector<std::uint8_t> payload;
    test::appendU32(payload, 50);
    test::appendU32(payload, 0xFEEDC0DE);
    Request request(handle, 0x200, 0, 44, payload);
    BrokerMessage* confirm = nullptr;
    EXPECT_NE(module_->sendSync(request.get(), &confirm), 0);
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(confirm->status, 0u);
    EXPECT_EQ(confirm->provider, handle);
    ASSERT_EQ(confirm->totalLength, 52u);
    EXPECT_EQ(u32(confirm, 48), 0xFEEDC0DEu);
    EXPECT_EQ(module_->deleteConfirm(confirm), 0);

    // The provider's thread leaves the broker's callback shortly after waking the caller; the
    // module stays loaded until it has.
    for (int i = 0; i < 1000 && library.counters().pendingConfirms != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(library.counters().pendingConfirms, 0);
}

TEST_F(SendSyncTest, RefusingProviderGivesNullWithoutWaiting) {
    const std::string path = providerPath("kov_test_refusing");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Refusing", {path}));
    const ProviderHandle handle = handleServing(list(), 0x300);
    ASSERT_NE(handle, 0u);
    const ProviderLibrary library(path);
    ASSERT_TRUE(library.loaded());
    const std::int32_t refusalsBefore = library.counters().refusals;

    Request request(handle, 0x300, 0);
    BrokerMessage* confirm = request.get(); // must be overwritten
    EXPECT_NE(module_->sendSync(request.get(), &confirm), 0);
    EXPECT_EQ(confirm, nullptr);
    EXPECT_EQ(library.counters().refusals, refusalsBefore + 1);
}

TEST_F(SendSyncTest, UnknownHandleGivesABrokerBuiltErrorConfirm) {
    Request request(0x7FFFFFF0, 0x100, 0, 48);
    for (std::uint32_t i = 44; i < 48; ++i) request.bytes()[i] = 0x30 + i;
    BrokerMessage* confirm = nullptr;
    EXPECT_NE(module_->sendSync(request.get(), &confirm), 0);
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(confirm->totalLength, 48u);
    EXPECT_EQ(confirm->status, 4u);
    EXPECT_EQ(request->status, 4u);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(confirm);
    for (std::uint32_t i = 44; i < 48; ++i) EXPECT_EQ(bytes[i], 0x30 + i);
    EXPECT_EQ(module_->deleteConfirm(confirm), 0);
}

} // namespace
} // namespace kov::integration
