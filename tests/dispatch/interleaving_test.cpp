// Interleavings that once broke the host: reloads racing sends to handle 0, threads that call in
// after their slot went back, nulls delivered from inside another call, sends made while the
// list is being rebuilt, a provider that sends under a lock of its own, and removal of a library
// registered under two keys. Each runs under a watchdog: a hang fails the run.
#include "support/broker_exports.h"
#include "support/broker_fixture.h"
#include "support/caller_view.h"
#include "support/provider_probe.h"
#include "support/watchdog.h"

#include "dispatch/send.h"
#include "message/broker_confirms.h"
#include "registry/provider_loading.h"
#include "registry/registration.h"

#include "providers/broker_access.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kov::test {
namespace {

using Clock = std::chrono::steady_clock;

struct ReentrantSeen {
    std::int32_t initOutcome;
    std::int32_t infoReturns;
    std::int32_t infoReturnOutcome;
};

ReentrantSeen reentrantSeen(const LibraryProbe& library) {
    using SeenFn = ReentrantSeen*(KOV_CALL*)();
    const auto seen =
        reinterpret_cast<SeenFn>(platform::findSymbol(library.module(), "kov_test_ReentrantSeen"));
    return seen != nullptr ? *seen() : ReentrantSeen{-1, -1, -1};
}

// GetLanguage to handle 0: the one request every thread here can send and check.
bool isLanguageReply(const BrokerMessage* confirm) {
    return confirm != nullptr && confirm->status == 0 && confirm->totalLength == 44 + 44 &&
           u32(confirm, 44 + 24) == 6;
}

class InterleavingTest : public BrokerTest {
protected:
    void SetUp() override {
        BrokerTest::SetUp();
        offerBrokerExports(&kov_Send, &kov_SendSync, &kov_DeleteConfirm);
    }

    static double runSeconds() {
        const char* text = std::getenv("KOV_STRESS_SECONDS");
        const double seconds = text != nullptr ? std::atof(text) : 0;
        return seconds > 0 ? seconds / 4 : 1;
    }
};

std::atomic<int> languageReplies{0}, otherReplies{0};

std::int32_t KOV_CALL countLanguageReply(BrokerMessage* confirm) {
    ++(isLanguageReply(confirm) ? languageReplies : otherReplies);
    return 0; // not kept: the broker releases it
}

// Four threads send to handle 0 while a fifth reloads: a send must never touch a record a reload
// freed, and every request gets the broker provider's own answer.
TEST_F(InterleavingTest, ReloadsRacingHandleZeroSendsTouchNothingFreed) {
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    registerInRegistry("Three", {providerPath("kov_test_three_sets")});
    loadProviders();
    languageReplies = otherReplies = 0;
    const std::uint32_t inUse = bytesInUse();
    const auto end = Clock::now() + std::chrono::duration<double>(runSeconds());
    std::atomic<int> sent{0}, reloads{0}, failedReloads{0};
    Deadline deadline("sends racing reloads", 120);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            while (Clock::now() < end) {
                Request request(0, KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE);
                request->callback = countLanguageReply;
                EXPECT_EQ(dispatch::send(request.get()), 0);
                ++sent;
            }
        });
    }
    threads.emplace_back([&] {
        while (Clock::now() < end) {
            Request request(0, 0, KOV_FN_RELOAD);
            BrokerMessage* confirm = nullptr;
            dispatch::sendSync(request.get(), &confirm);
            if (confirm == nullptr || confirm->status != 0) ++failedReloads;
            if (confirm != nullptr) dispatch::deleteConfirm(confirm);
            ++reloads;
        }
    });
    for (std::thread& t : threads) t.join();
    std::printf("sends %d, reloads %d\n", sent.load(), reloads.load());
    EXPECT_EQ(languageReplies.load(), sent.load());
    EXPECT_EQ(otherReplies.load(), 0);
    EXPECT_EQ(failedReloads.load(), 0);
    EXPECT_GT(reloads.load(), 0);
    registry::reloadProviders(); // whatever a sender still held when the last reload ran goes now
    EXPECT_EQ(bytesInUse(), inUse);
}

// A thread-exit hook that runs after the broker's own (a key made later): the thread calls in
// once more after its slot went back, while new threads start and take slots. Its counts must
// not be lost, no other thread may share its slot, and a synchronous call it makes there must
// be answered even by a provider thread that touches the broker for the first time then (and so
// takes a slot just then). The provider's threads are started beforehand: a thread-exit hook may
// not wait for a thread it starts itself (Windows holds its loader lock there).
std::atomic<int> hookSends{0}, hookSyncAnswers{0};

class FirstTimeDeliverers {
public:
    explicit FirstTimeDeliverers(int count) {
        for (int i = 0; i < count; ++i) threads_.emplace_back([this] { deliverOne(); });
    }
    ~FirstTimeDeliverers() {
        for (std::thread& t : threads_) t.join();
    }
    void hand(BrokerMessage* confirm, ConfirmCallback callback) {
        const std::lock_guard<std::mutex> hold(lock_);
        jobs_.push_back({confirm, callback});
        changed_.notify_one();
    }

private:
    struct Job {
        BrokerMessage* confirm;
        ConfirmCallback callback;
    };
    void deliverOne() {
        Job job{};
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [this] { return !jobs_.empty(); });
            job = jobs_.back();
            jobs_.pop_back();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (job.callback(job.confirm) == 0) message::releaseBrokerConfirm(job.confirm);
    }
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Job> jobs_;
    std::vector<std::thread> threads_;
};

FirstTimeDeliverers* deliverers = nullptr;

std::int32_t KOV_CALL answerFromAnotherThread(BrokerMessage* request) {
    BrokerMessage* confirm = message::newBrokerConfirm(request, 0);
    if (confirm == nullptr) return 1;
    deliverers->hand(confirm, request->callback);
    return 0;
}

ProviderHandle deferredProvider = 0;

void callFromExitHook(void*) {
    Request request(0, KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE);
    request->callback = countLanguageReply;
    dispatch::send(request.get());
    ++hookSends;
    Request sync(deferredProvider, 0x7A0, 0);
    BrokerMessage* confirm = nullptr;
    dispatch::sendSync(sync.get(), &confirm);
    if (confirm != nullptr) {
        ++hookSyncAnswers;
        dispatch::deleteConfirm(confirm);
    }
}

TEST_F(InterleavingTest, ThreadsCallingAfterTheirSlotWentBackKeepTheirOwnCounts) {
    loadProviders();
    registry::ProviderRecord* const provider = linkFakeProvider(answerFromAnotherThread);
    ASSERT_NE(provider, nullptr);
    deferredProvider = provider->handle;
    platform::ThreadKey key = nullptr;
    ASSERT_TRUE(platform::createThreadKey(&key, callFromExitHook));
    languageReplies = otherReplies = hookSends = hookSyncAnswers = 0;
    const StatisticsRecord before = statistics();
    const std::uint32_t inUse = bytesInUse();
    constexpr int kThreads = 24, kSendsEach = 50;
    {
        Deadline deadline("calls from thread-exit hooks", 120);
        FirstTimeDeliverers answering(kThreads);
        deliverers = &answering;
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([key] {
                platform::setThreadValue(key, reinterpret_cast<void*>(1));
                for (int n = 0; n < kSendsEach; ++n) {
                    Request request(0, KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE);
                    request->callback = countLanguageReply;
                    dispatch::send(request.get());
                }
            });
            if (i % 4 == 3) {
                for (std::thread& t : threads) t.join();
                threads.clear();
            }
        }
        for (std::thread& t : threads) t.join();
        while (hookSends.load() < kThreads || hookSyncAnswers.load() < kThreads)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    deliverers = nullptr;
    platform::deleteThreadKey(key);
    const StatisticsRecord after = statistics();
    const std::uint64_t sends = kThreads * (kSendsEach + 1);
    EXPECT_EQ(counterAt(after, 44) - counterAt(before, 44), sends) << "sendCalls";
    EXPECT_EQ(counterAt(after, 52) - counterAt(before, 52), sends) << "sendDelivered";
    EXPECT_EQ(counterAt(after, 68) - counterAt(before, 68), std::uint64_t{kThreads}) << "syncCalls";
    EXPECT_EQ(languageReplies.load(), static_cast<int>(sends));
    EXPECT_EQ(hookSyncAnswers.load(), kThreads);
    EXPECT_EQ(after.syncWaiting, before.syncWaiting);
    EXPECT_EQ(bytesInUse(), inUse);
}

// Call B waits for a kept request; call A, inside its own receive entry, fails B (status 3 into
// B's request, then null) and answers A. The null is B's: A gets its own confirm, B ends.
TEST_F(InterleavingTest, ANullDeliveredInsideAnotherCallEndsTheCallItBelongsTo) {
    registerInRegistry("Deferring", {providerPath("kov_test_deferring")});
    const ProviderHandle handle = handleServing(0x620);
    ASSERT_NE(handle, 0u);
    const LibraryProbe library(providerPath("kov_test_deferring"));
    Deadline deadline("a null from inside another call", 60);
    Request b(handle, 0x620, 0);
    BrokerMessage* bConfirm = reinterpret_cast<BrokerMessage*>(&b);
    std::thread waiter([&] { dispatch::sendSync(b.get(), &bConfirm); });
    while (library.counters().pendingConfirms == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    Request a(handle, 0x620, 1);
    BrokerMessage* aConfirm = nullptr;
    EXPECT_EQ(dispatch::sendSync(a.get(), &aConfirm), 1);
    ASSERT_NE(aConfirm, nullptr) << "A ended with B's null";
    EXPECT_EQ(aConfirm->status, 0u);
    EXPECT_EQ(aConfirm->functionCode, 1u);
    EXPECT_EQ(a->status, 0u);
    EXPECT_EQ(dispatch::deleteConfirm(aConfirm), 0);
    waiter.join();
    EXPECT_EQ(bConfirm, nullptr);
    EXPECT_EQ(b->status, KOV_STATUS_NO_MEMORY);
    EXPECT_EQ(statistics().syncWaiting, 0u);
}

// Sends to handle 0 made while the broker is busy with the very library that sends: they reach
// the broker provider, and the first load is not run again inside itself.
TEST_F(InterleavingTest, HandleZeroFromALibraryBeingLoadedReachesTheBrokerProvider) {
    const std::string reentrant = providerPath("kov_test_reentrant");
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    registerInRegistry("Reentrant", {reentrant});
    loadProviders(); // the library's initialisation sends during the first load
    EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x600, 0x100}))
        << "one broker provider, one record each";
    EXPECT_EQ(statistics().setCount, 2u + 1u + 1u);
    {
        const LibraryProbe library(reentrant);
        const ReentrantSeen seen = reentrantSeen(library);
        EXPECT_EQ(seen.initOutcome, kit::BrokerAnswered) << "during the first load";
        EXPECT_EQ(seen.infoReturns, 1);
        EXPECT_EQ(seen.infoReturnOutcome, kit::BrokerAnswered) << "hand-back of the first load";

        ASSERT_TRUE(registry::reloadProviders());
        const ReentrantSeen again = reentrantSeen(library);
        EXPECT_EQ(again.infoReturns, 2);
        EXPECT_EQ(again.infoReturnOutcome, kit::BrokerAnswered) << "hand-back during a reload";
        EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x600, 0x100}));
    }

    // A library that a reload loads for the first time sends from its initialisation.
    const std::u16string wide(reentrant.begin(), reentrant.end());
    ASSERT_EQ(registry::updateRegistration(u"Reentrant", wide.c_str(), 0), 0u);
    ASSERT_FALSE(libraryLoaded(reentrant));
    registerInRegistry("Reentrant", {reentrant});
    ASSERT_TRUE(registry::reloadProviders());
    const LibraryProbe library(reentrant);
    EXPECT_EQ(reentrantSeen(library).initOutcome, kit::BrokerAnswered) << "during a reload";
    EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x600, 0x100}));
}

// The library's kov_DeleteReceive takes its own lock, and its kov_Receive holds that lock while
// it calls kov_SendSync: reloads on another thread must not deadlock against it.
TEST_F(InterleavingTest, AProviderSendingUnderItsOwnLockRunsBesideReloads) {
    registerInRegistry("Locking", {providerPath("kov_test_locking")});
    loadProviders();
    const auto end = Clock::now() + std::chrono::duration<double>(runSeconds());
    std::atomic<int> answered{0}, stale{0}, wrong{0}, reloads{0};
    Deadline deadline("a provider's own lock against reloads", 60);
    std::thread reloader([&] {
        while (Clock::now() < end) {
            registry::reloadProviders();
            ++reloads;
        }
    });
    while (Clock::now() < end) {
        Request request(handleServing(0x610), 0x610, 0, 44, {1, 2, 3, 4});
        BrokerMessage* confirm = nullptr;
        dispatch::sendSync(request.get(), &confirm);
        if (confirm == nullptr) {
            ++wrong;
            continue;
        }
        ++(confirm->status == 0 ? answered : confirm->status == KOV_STATUS_UNKNOWN_PROVIDER ? stale : wrong);
        dispatch::deleteConfirm(confirm);
    }
    reloader.join();
    std::printf("answered %d, stale handle %d, reloads %d\n", answered.load(), stale.load(),
                reloads.load());
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(reloads.load(), 0);
}

// One library under two keys: removing it from one key takes that key's record, whatever the
// order a reload left the list in.
TEST_F(InterleavingTest, RemovingALibraryFromOneOfTwoKeysTakesThatKeysRecord) {
    const std::string immediate = providerPath("kov_test_immediate");
    registerInRegistry("K1", {immediate});
    registerInRegistry("K2", {immediate});
    loadProviders();
    ASSERT_TRUE(registry::reloadProviders());
    // The walk loads K1, then K2, each pushed to the front: K2's record is listed first.
    std::vector<ProviderHandle> handles;
    for (const ListedSet& set : listedSets())
        if (set.functionSet == 0x100) handles.push_back(set.provider);
    ASSERT_EQ(handles.size(), 2u);
    const ProviderHandle k2 = handles[0], k1 = handles[1];

    const std::u16string path(immediate.begin(), immediate.end());
    EXPECT_EQ(registry::updateRegistration(u"K1", path.c_str(), 0), 0u);
    Request toK1(k1, 0x100, 0), toK2(k2, 0x100, 0);
    BrokerMessage* confirm = nullptr;
    ASSERT_EQ(dispatch::sendSync(toK1.get(), &confirm), 1);
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(confirm->status, KOV_STATUS_UNKNOWN_PROVIDER) << "K1's record went";
    dispatch::deleteConfirm(confirm);
    ASSERT_EQ(dispatch::sendSync(toK2.get(), &confirm), 1);
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(confirm->status, 0u) << "K2's record stays";
    EXPECT_EQ(dispatch::deleteConfirm(confirm), 0);
}

} // namespace
} // namespace kov::test
