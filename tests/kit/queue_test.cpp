// The kit's worker thread: it starts only once the library is pinned, runs work in order of due
// time, and delivers queued confirms. Waits are bounded and generous; nothing here times the
// worker.
#include "kit_test_support.h"

#include "support/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace kov::test::kit {
namespace {

// Records the order in which work ran, from the worker thread.
class Ledger {
public:
    struct Entry {
        Ledger* ledger;
        std::string name;
    };
    static void run(void* context) {
        auto* entry = static_cast<Entry*>(context);
        const std::lock_guard<std::mutex> guard(entry->ledger->lock_);
        entry->ledger->order_ += entry->ledger->order_.empty() ? entry->name : " " + entry->name;
        entry->ledger->threads_.insert(std::this_thread::get_id());
        entry->ledger->changed_.notify_all();
    }
    // The order once `count` items have run (what ran so far after 30 s).
    std::string waitFor(std::size_t count) {
        std::unique_lock<std::mutex> held(lock_);
        changed_.wait_for(held, std::chrono::seconds(30), [&] {
            return static_cast<std::size_t>(std::count(order_.begin(), order_.end(), ' ')) + 1 >=
                       count && !order_.empty();
        });
        return order_;
    }
    std::size_t threads() {
        const std::lock_guard<std::mutex> guard(lock_);
        return threads_.size();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::string order_;
    std::set<std::thread::id> threads_;
};

// The first use starts the worker, so this runs first: with the library not pinned, no thread.
TEST(KitQueue, StartsNoWorkerUnlessTheLibraryIsPinned) {
    Ledger ledger;
    Ledger::Entry entry{&ledger, "a"};
    setKeepLoadedResult(0);
    EXPECT_EQ(kov_queueWork(Ledger::run, &entry, 0), KOV_KIT_NO_WORKER);
    EXPECT_EQ(keepLoadedCalls(), 1);
    setKeepLoadedResult(1);
    EXPECT_EQ(allocationsLive(), 0) << "the refused item is not kept";
    EXPECT_EQ(kov_queueWork(Ledger::run, &entry, 0), KOV_KIT_OK);
    EXPECT_EQ(ledger.waitFor(1), "a");
    EXPECT_EQ(kov_queueWork(Ledger::run, &entry, 0), KOV_KIT_OK);
    EXPECT_EQ(ledger.waitFor(2), "a a");
    EXPECT_EQ(keepLoadedCalls(), 2) << "pinned once, before the one worker started";
    EXPECT_EQ(kov_queueWork(nullptr, nullptr, 0), KOV_KIT_BAD_ARGUMENT);
}

TEST(KitQueue, RunsWorkByDueTimeThenInTheOrderQueued) {
    Ledger ledger;
    Ledger::Entry late{&ledger, "late"}, later{&ledger, "later"}, first{&ledger, "first"},
        second{&ledger, "second"}, third{&ledger, "third"};
    // Queued together: the delays decide, equal delays keep their order.
    ASSERT_EQ(kov_queueWork(Ledger::run, &later, 400), KOV_KIT_OK);
    ASSERT_EQ(kov_queueWork(Ledger::run, &late, 200), KOV_KIT_OK);
    ASSERT_EQ(kov_queueWork(Ledger::run, &first, 0), KOV_KIT_OK);
    ASSERT_EQ(kov_queueWork(Ledger::run, &second, 0), KOV_KIT_OK);
    ASSERT_EQ(kov_queueWork(Ledger::run, &third, 0), KOV_KIT_OK);
    EXPECT_EQ(ledger.waitFor(5), "first second third late later");
    EXPECT_EQ(ledger.threads(), 1u);
    EXPECT_EQ(allocationsLive(), 0) << "every item freed once run";
}

// Work may queue more work: the worker holds no lock while it runs.
struct Chain {
    Ledger::Entry entry;
    int left;
    static void step(void* context) {
        auto* chain = static_cast<Chain*>(context);
        if (--chain->left > 0) kov_queueWork(step, chain, 0);
        Ledger::run(&chain->entry); // last: once the third link is in, the test may end
    }
};

TEST(KitQueue, WorkCanQueueWork) {
    Ledger ledger;
    Chain chain{{&ledger, "link"}, 3};
    ASSERT_EQ(kov_queueWork(Chain::step, &chain, 0), KOV_KIT_OK);
    EXPECT_EQ(ledger.waitFor(3), "link link link");
}

TEST(KitQueue, DeliversQueuedConfirmsAndReleasesThoseNotKept) {
    for (const std::int32_t keep : {0, 1}) {
        SCOPED_TRACE(keep);
        ConfirmCollector collector(keep);
        Request request(0x10, 0x600, 0, 44, {1, 2, 3});
        collector.use(request.get());
        BrokerMessage* confirm = kov_buildConfirm(request.get(), 0, kov_payload(request.get()), 3);
        ASSERT_NE(confirm, nullptr);
        ASSERT_EQ(kov_queueConfirm(confirm, 10), KOV_KIT_OK);
        ASSERT_TRUE(collector.waitFor(1));
        EXPECT_EQ(collector.deliveries()[0].bytes.size(), 47u);
        if (keep) {
            EXPECT_EQ(kov_releaseBlock(confirm), 0);
        }
    }
    EXPECT_EQ(kov_queueConfirm(nullptr, 0), KOV_KIT_BAD_ARGUMENT);
    // The worker releases a confirm let go after the callback returned: wait for that.
    for (int i = 0; i < 3000 && allocationsLive() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(allocationsLive(), 0);
}

TEST(KitQueue, NoMemoryForAnItemQueuesNothing) {
    Ledger ledger;
    Ledger::Entry entry{&ledger, "x"};
    {
        const AllocationFault fault(1);
        EXPECT_EQ(kov_queueWork(Ledger::run, &entry, 0), KOV_KIT_NO_MEMORY);
    }
    EXPECT_EQ(allocationsLive(), 0);
}

} // namespace
} // namespace kov::test::kit
