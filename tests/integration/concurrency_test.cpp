// Sends from several threads to a provider that answers from its own thread while another thread
// keeps reloading the provider list: nothing crashes and every request gets exactly one answer.
#include "integration/module_harness.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace kov::integration {
namespace {

using test::Request;
using test::u32;

constexpr std::uint32_t kSenders = 3;
constexpr std::uint32_t kPerSender = 400;
constexpr std::uint32_t kRequests = kSenders * kPerSender;
constexpr std::uint32_t kMinimumReloads = 5;

// Answers per request id. The id travels in the header's reserved field, which every confirm
// copies (error confirms carry no payload), and in the payload, which echo confirms return.
struct Tally {
    std::mutex lock;
    std::vector<int> answers = std::vector<int>(kRequests, 0);
    std::atomic<int> malformed{0};

    void count(const BrokerMessage* confirm) {
        const std::uint32_t id = confirm->reserved;
        const bool echo = confirm->status == 0 &&
                          confirm->totalLength == confirm->headerLength + 8 &&
                          u32(test::payloadOf(confirm), 4) == id;
        const bool stale = confirm->status == 4 && confirm->totalLength == confirm->headerLength;
        if (!echo && !stale) ++malformed;
        const std::lock_guard<std::mutex> guard(lock);
        if (id < answers.size())
            ++answers[id];
        else
            ++malformed;
    }

    int total() {
        const std::lock_guard<std::mutex> guard(lock);
        int sum = 0;
        for (const int n : answers) sum += n;
        return sum;
    }
};

std::atomic<int> nullDeliveries{0};

std::int32_t KOV_CALL collect(BrokerMessage* confirm) {
    if (confirm == nullptr) {
        ++nullDeliveries;
        return 0;
    }
    static_cast<Tally*>(confirm->callbackData)->count(confirm);
    return 0; // the provider, or the broker for error confirms, frees it
}

using ConcurrencyTest = ModuleTest;

TEST_F(ConcurrencyTest, SendsWhileReloadingGetExactlyOneAnswerEach) {
    const std::string path = providerPath("kov_test_threaded");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Threaded", {path}));
    std::atomic<ProviderHandle> current{handleServing(list(), 0x200)};
    ASSERT_NE(current.load(), 0u);
    const ProviderLibrary library(path);
    ASSERT_TRUE(library.loaded());
    nullDeliveries = 0;

    Tally tally;
    std::vector<std::unique_ptr<Request>> requests(kRequests); // alive until answered
    std::atomic<int> refusedSends{0}, missingSyncConfirms{0}, badReleases{0};
    std::atomic<int> reloadFailures{0};
    std::atomic<std::uint32_t> sendersRunning{kSenders};
    std::atomic<std::uint32_t> reloads{0};

    const auto sender = [&](std::uint32_t first) {
        for (std::uint32_t id = first; id < first + kPerSender; ++id) {
            std::vector<std::uint8_t> payload;
            test::appendU32(payload, id % 3); // the provider's delay in milliseconds
            test::appendU32(payload, id);
            requests[id] = std::make_unique<Request>(current.load(), 0x200, 0, 44, payload);
            BrokerMessage* request = requests[id]->get();
            request->reserved = id;
            if (id % 4 != 3) {
                request->callback = collect;
                request->callbackData = &tally;
                if (module_->send(request) != 0) ++refusedSends;
                continue;
            }
            BrokerMessage* confirm = nullptr;
            module_->sendSync(request, &confirm);
            if (confirm == nullptr) {
                ++missingSyncConfirms;
                continue;
            }
            const bool brokerBuilt = confirm->status == 4;
            tally.count(confirm);
            // A provider's confirm whose record a reload replaced can no longer be released.
            const std::int32_t released = module_->deleteConfirm(confirm);
            if (released != 0 && (brokerBuilt || released != 4)) ++badReleases;
        }
        --sendersRunning;
    };

    const auto reloader = [&] {
        while (sendersRunning.load() != 0 || reloads.load() < kMinimumReloads) {
            Request reload(0, KOV_BROKER_FUNCTION_SET, KOV_FN_RELOAD);
            BrokerMessage* confirm = nullptr;
            module_->sendSync(reload.get(), &confirm);
            if (confirm == nullptr || confirm->status != 0 || module_->deleteConfirm(confirm) != 0)
                ++reloadFailures;
            Request listing(0, KOV_BROKER_FUNCTION_SET, KOV_FN_LIST_SUBSYSTEMS);
            confirm = nullptr;
            module_->sendSync(listing.get(), &confirm);
            if (confirm == nullptr) {
                ++reloadFailures;
                continue;
            }
            const ProviderHandle handle = handleServing(parseList(bytesOf(confirm)), 0x200);
            if (handle == 0 || module_->deleteConfirm(confirm) != 0) ++reloadFailures;
            if (handle != 0) current = handle;
            ++reloads;
            // A pause lets most sends reach the provider between reloads; some still go stale.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };

    std::vector<std::thread> threads;
    for (std::uint32_t s = 0; s < kSenders; ++s) threads.emplace_back(sender, s * kPerSender);
    threads.emplace_back(reloader);
    for (std::thread& t : threads) t.join();

    // Asynchronous answers may still be on their way from the provider's thread.
    for (int i = 0; i < 4000 && tally.total() < static_cast<int>(kRequests); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int i = 0; i < 1000 && library.counters().pendingConfirms != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(library.counters().pendingConfirms, 0);

    EXPECT_GE(reloads.load(), kMinimumReloads);
    EXPECT_EQ(reloadFailures.load(), 0);
    EXPECT_EQ(refusedSends.load(), 0);
    EXPECT_EQ(missingSyncConfirms.load(), 0);
    EXPECT_EQ(badReleases.load(), 0);
    EXPECT_EQ(nullDeliveries.load(), 0);
    EXPECT_EQ(tally.malformed.load(), 0);
    EXPECT_EQ(tally.total(), static_cast<int>(kRequests));
    for (std::uint32_t id = 0; id < kRequests; ++id)
        EXPECT_EQ(tally.answers[id], 1) << "request " << id;
}

} // namespace
} // namespace kov::integration
