#include "support/broker_fixture.h"

#include "runtime/broker_lock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kov::test {
namespace {

using BrokerLockTest = BrokerTest;

// The exclusion checks can only miss a fault if the other thread is slow, never report one that
// is not there: the other thread records the moment it gets the lock.
TEST_F(BrokerLockTest, ItsHolderTakesItAgainAndOthersWaitForTheLastRelease) {
    using namespace std::chrono_literals;
    runtime::lock();
    runtime::lock();

    std::atomic<int> stage{0};
    std::thread other([&stage] {
        stage = 1;
        runtime::lock();
        stage = 2;
        runtime::unlock();
    });
    while (stage.load() == 0) std::this_thread::yield();

    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(stage.load(), 1) << "another thread got the lock while it was held twice";
    runtime::unlock();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(stage.load(), 1) << "one release of two handed the lock over";
    runtime::unlock();
    other.join();
    EXPECT_EQ(stage.load(), 2);
}

} // namespace
} // namespace kov::test
