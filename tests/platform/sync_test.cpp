// The recursive lock and the manual-reset event across threads.
//
// Where a thread must be shown to be blocked, the test gives it time to get past the point it
// must not pass and then checks that it has not. A slow machine can only make such a check pass
// for the wrong reason, never fail a correct implementation.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <chrono>
#include <thread>
#include <vector>

namespace kov::platform {
namespace {

void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

TEST(PlatformLock, OwnerMayTakeItAgainAndOthersWaitForTheLastRelease) {
    const LockHandle lock = createLock(nullptr);
    ASSERT_NE(nullptr, lock);
    acquireLock(lock);
    acquireLock(lock); // recursive: must not deadlock

    std::atomic<bool> entered{false};
    std::thread other([&] {
        acquireLock(lock);
        entered = true;
        releaseLock(lock);
    });
    pause();
    EXPECT_FALSE(entered);
    releaseLock(lock); // still held once
    pause();
    EXPECT_FALSE(entered);
    releaseLock(lock);
    other.join();
    EXPECT_TRUE(entered);
    closeLock(lock);
}

TEST(PlatformLock, TryingNeverWaitsAndSucceedsOnlyForTheHolderOrAFreeLock) {
    const LockHandle lock = createLock(nullptr);
    ASSERT_NE(nullptr, lock);
    ASSERT_TRUE(tryAcquireLock(lock)) << "free";
    ASSERT_TRUE(tryAcquireLock(lock)) << "held by this thread";
    bool otherGot = true;
    std::thread([&] { otherGot = tryAcquireLock(lock); }).join();
    EXPECT_FALSE(otherGot) << "held by another thread";
    releaseLock(lock);
    releaseLock(lock);
    std::thread([&] {
        otherGot = tryAcquireLock(lock);
        if (otherGot) releaseLock(lock);
    }).join();
    EXPECT_TRUE(otherGot) << "free again";
    closeLock(lock);
}

std::atomic<std::uintptr_t> firstSeen{0}, secondSeen{0};
void firstHook(void* value) { firstSeen += reinterpret_cast<std::uintptr_t>(value); }
void secondHook(void* value) { secondSeen += reinterpret_cast<std::uintptr_t>(value); }

// Two keys at once (the broker's, and another library's): each runs its own hook with its own
// value when a thread that set them ends; a thread that set nothing runs neither.
TEST(PlatformThreadKey, EachKeyRunsItsOwnHookWhenAThreadEnds) {
    ThreadKey first = nullptr, second = nullptr;
    ASSERT_TRUE(createThreadKey(&first, firstHook));
    ASSERT_TRUE(createThreadKey(&second, secondHook));
    firstSeen = secondSeen = 0;
    std::thread([&] {
        setThreadValue(first, reinterpret_cast<void*>(3));
        setThreadValue(second, reinterpret_cast<void*>(40));
    }).join();
    std::thread([] {}).join();
    EXPECT_EQ(firstSeen.load(), 3u);
    EXPECT_EQ(secondSeen.load(), 40u);
    deleteThreadKey(second);
    deleteThreadKey(first);
}

TEST(PlatformEvent, WaitBlocksUntilSetAndSetStaysUntilReset) {
    const EventHandle event = createEvent(nullptr);
    ASSERT_NE(nullptr, event);

    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        waitEvent(event);
        woke = true;
    });
    pause();
    EXPECT_FALSE(woke); // created not signalled
    setEvent(event);
    waiter.join();
    EXPECT_TRUE(woke);

    // Manual reset: still signalled, so these return at once.
    waitEvent(event);
    waitEvent(event);

    resetEvent(event);
    std::atomic<bool> wokeAgain{false};
    std::thread second([&] {
        waitEvent(event);
        wokeAgain = true;
    });
    pause();
    EXPECT_FALSE(wokeAgain);
    setEvent(event);
    second.join();
    EXPECT_TRUE(wokeAgain);
    closeEvent(event);
}

TEST(PlatformEvent, OneSetReleasesEveryWaiter) {
    const EventHandle event = createEvent(nullptr);
    ASSERT_NE(nullptr, event);
    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            waitEvent(event);
            ++woke;
        });
    }
    pause();
    EXPECT_EQ(0, woke.load());
    setEvent(event);
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(4, woke.load());
    closeEvent(event);
}

} // namespace
} // namespace kov::platform
