// The real module under every entry at once, for KOV_STRESS_SECONDS (3 unless set; longer under
// the sanitizers). At the same time:
//   - two threads send synchronous and asynchronous requests to a provider that confirms from its
//     own thread, to one that sends to handle 0 from inside kov_Receive under a lock of its own,
//     and to handle 0 itself, keeping every other confirm and releasing it later (provider and
//     broker confirms alike);
//   - one thread reloads, which makes a library send to handle 0 from kov_DeleteReceive of its
//     information block while the list is rebuilt;
//   - one thread registers one library under two keys and removes them again;
//   - one thread keeps starting short-lived threads that send, and call in once more from a
//     thread_local destructor and from a thread-exit hook that runs after the broker's own;
//   - two threads wait on a provider that fails kept requests with a null from inside another
//     call, and send those other calls, which then confirm each failed request all the same;
//   - every synchronous call's token comes round again within 16 calls of its wait entry (a test
//     hook), so late confirms meet later calls with the same generation all the time.
// Every request must get exactly one answer of the kind it asked for, every kept confirm must go
// back, and the broker's blocks and waiting calls must be back where they started.
#include "integration/module_harness.h"
#include "support/broker_exports.h"
#include "support/watchdog.h"

#include "providers/broker_access.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace kov::integration {
namespace {

using Clock = std::chrono::steady_clock;
using test::Request;
using test::u32;

constexpr std::uint32_t kThreadedSet = 0x200;
constexpr std::uint32_t kLockingSet = 0x610;
constexpr std::uint32_t kDeferringSet = 0x620;

double stressSeconds() {
    const char* text = std::getenv("KOV_STRESS_SECONDS");
    const double seconds = text != nullptr ? std::atof(text) : 0;
    return seconds > 0 ? seconds : 3;
}

struct StressRun;

enum class Target { Threaded, Locking, Broker };

// One request and what came back for it; asynchronous answers arrive on any thread.
struct Tracked {
    Tracked(StressRun* r, std::uint32_t i, Target t, bool sync, ProviderHandle provider);

    StressRun* run;
    std::uint32_t id;
    Target target;
    bool synchronous;
    ProviderHandle handle;
    Request request;
    std::atomic<int> confirms{0};
    std::atomic<bool> refused{false};
};

struct StressRun {
    BrokerModule* module;
    Clock::time_point end;
    std::atomic<ProviderHandle> threaded{0}, locking{0}, deferring{0};

    std::atomic<std::uint32_t> sent{0}, syncSent{0}, confirms{0}, stale{0}, malformed{0};
    std::atomic<std::uint32_t> kept{0}, orphaned{0}, orphanedLocking{0}, badReleases{0};
    std::atomic<std::uint32_t> reloads{0}, reloadFailures{0};
    std::atomic<std::uint32_t> registrations{0}, registrationFailures{0};
    std::atomic<std::uint32_t> threadsStarted{0}, churnSends{0}, churnAnswers{0};
    std::atomic<std::uint32_t> parked{0}, parkedFailed{0}, parkedWrong{0}, flushes{0}, flushWrong{0};

    std::mutex keptLock;
    std::vector<std::pair<const Tracked*, BrokerMessage*>> keptConfirms; // by the callback

    bool running() const { return Clock::now() < end; }

    // Whether the confirm is the one its request asked for: an echo of a provider, the broker's
    // information reply, or an error confirm for a handle a reload made stale.
    void check(const Tracked& t, const BrokerMessage* confirm) {
        ++confirms;
        bool good = confirm->reserved == t.id;
        if (confirm->status == KOV_STATUS_UNKNOWN_PROVIDER) {
            ++stale;
            good = good && t.target != Target::Broker && confirm->provider == t.handle &&
                   confirm->totalLength == confirm->headerLength;
        } else if (t.target == Target::Broker) {
            good = good && confirm->status == 0 && confirm->functionCode == KOV_FN_GET_BROKER_INFO &&
                   confirm->totalLength > confirm->headerLength;
        } else {
            good = good && confirm->status == 0 && confirm->provider == t.handle &&
                   confirm->totalLength == 52 && u32(confirm, 48) == t.id;
        }
        if (!good) ++malformed;
    }

    // Broker-built confirms must always go back; a provider's may find its record reloaded away,
    // and then stays with the provider.
    void release(const Tracked& t, BrokerMessage* confirm) {
        const bool brokerBuilt =
            t.target == Target::Broker || confirm->status == KOV_STATUS_UNKNOWN_PROVIDER;
        const std::int32_t result = module->deleteConfirm(confirm);
        if (result == KOV_STATUS_UNKNOWN_PROVIDER && !brokerBuilt)
            ++(t.target == Target::Locking ? orphanedLocking : orphaned);
        else if (result != 0)
            ++badReleases;
    }

    void releaseKept() {
        std::vector<std::pair<const Tracked*, BrokerMessage*>> taken;
        {
            const std::lock_guard<std::mutex> guard(keptLock);
            taken.swap(keptConfirms);
        }
        for (const auto& [t, confirm] : taken) release(*t, confirm);
    }

    // A broker request sent synchronously; its reply's status, or ~0 when none came.
    std::uint32_t callBroker(std::uint32_t code, const std::vector<std::uint8_t>& payload,
                             std::vector<std::uint8_t>* copy = nullptr) {
        Request request(0, KOV_BROKER_FUNCTION_SET, code, 44, payload);
        BrokerMessage* confirm = nullptr;
        module->sendSync(request.get(), &confirm);
        if (confirm == nullptr) return ~0u;
        const std::uint32_t status = confirm->status;
        if (copy != nullptr) *copy = bytesOf(confirm);
        if (module->deleteConfirm(confirm) != 0) ++badReleases;
        return status;
    }

    // Reads the handles of the providers the threads send to from a fresh list.
    bool learnHandles() {
        std::vector<std::uint8_t> listing;
        if (callBroker(KOV_FN_LIST_SUBSYSTEMS, {}, &listing) != 0) return false;
        const std::vector<Subsystem> list = parseList(listing);
        threaded = handleServing(list, kThreadedSet);
        locking = handleServing(list, kLockingSet);
        deferring = handleServing(list, kDeferringSet);
        return threaded != 0 && locking != 0 && deferring != 0;
    }
};

std::vector<std::uint8_t> echoPayload(std::uint32_t id) {
    std::vector<std::uint8_t> payload;
    test::appendU32(payload, id % 3); // the threaded provider's delay in milliseconds
    test::appendU32(payload, id);
    return payload;
}

Request requestFor(Target target, std::uint32_t id, ProviderHandle provider) {
    switch (target) {
    case Target::Broker: return Request(0, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO);
    case Target::Threaded: return Request(provider, kThreadedSet, 0, 44, echoPayload(id));
    default: return Request(provider, kLockingSet, 0, 44, echoPayload(id));
    }
}

Tracked::Tracked(StressRun* r, std::uint32_t i, Target t, bool sync, ProviderHandle provider)
    : run(r), id(i), target(t), synchronous(sync), handle(t == Target::Broker ? 0 : provider),
      request(requestFor(t, i, provider)) {
    request->reserved = id;
}

// A null carries no callbackData, so it cannot be told whose it is; none should come here.
std::atomic<std::uint32_t> nullDeliveries{0};

std::int32_t KOV_CALL collect(BrokerMessage* confirm) {
    if (confirm == nullptr) {
        ++nullDeliveries;
        return 0;
    }
    auto* t = static_cast<Tracked*>(confirm->callbackData);
    ++t->confirms;
    t->run->check(*t, confirm);
    if (t->id % 2 == 0) return 0; // not kept: whoever built it frees it
    ++t->run->kept;
    const std::lock_guard<std::mutex> guard(t->run->keptLock);
    t->run->keptConfirms.emplace_back(t, confirm);
    return 1;
}

// Sends until the run ends, cycling through asynchronous and synchronous requests to the
// threaded and the locking provider and to handle 0. Ids are unique across senders (first,
// first + step, ...).
void sendRequests(StressRun& run, std::deque<Tracked>& mine, std::uint32_t first, std::uint32_t step) {
    for (std::uint32_t id = first; run.running(); id += step) {
        const std::uint32_t kind = (id / step) % 6;
        const Target target = kind < 2 ? Target::Threaded : kind < 4 ? Target::Locking : Target::Broker;
        const bool synchronous = kind % 2 == 1;
        const ProviderHandle handle = target == Target::Threaded ? run.threaded.load() : run.locking.load();
        Tracked& t = mine.emplace_back(&run, id, target, synchronous, handle);
        ++run.sent;
        if (!synchronous) {
            t.request->callback = collect;
            t.request->callbackData = &t;
            const std::int32_t result = run.module->send(t.request.get());
            // Nonzero with no confirm: refused. (An error confirm that the callback kept makes
            // kov_Send answer nonzero too.)
            if (result != 0 && t.confirms.load() == 0) t.refused = true;
        } else {
            ++run.syncSent;
            t.request->callbackData = &t; // overwritten by the broker's own
            BrokerMessage* confirm = nullptr;
            run.module->sendSync(t.request.get(), &confirm);
            if (confirm == nullptr) {
                t.refused = true;
            } else {
                ++t.confirms;
                run.check(t, confirm);
                run.release(t, confirm);
            }
        }
        run.releaseKept();
    }
}

void reloadProviders(StressRun& run) {
    while (run.running()) {
        if (run.callBroker(KOV_FN_RELOAD, {}) != 0) ++run.reloadFailures;
        if (!run.learnHandles()) ++run.reloadFailures;
        ++run.reloads;
        // Most sends reach the providers between reloads; some still find their handle stale.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// One library under two keys, removed in turn in either order.
void registerAndRemove(StressRun& run, const std::string& path) {
    for (std::uint32_t round = 0; run.running(); ++round) {
        const char* keys[] = {"StressFirst", "StressSecond"};
        for (const char* key : keys)
            if (run.callBroker(KOV_FN_REGISTER_PROVIDER, registrationPayload(KOV_REGISTER, key, path)) != 0)
                ++run.registrationFailures;
        for (unsigned k = 0; k < 2; ++k)
            if (run.callBroker(KOV_FN_REGISTER_PROVIDER,
                               registrationPayload(0, keys[(round + k) % 2], path)) != 0)
                ++run.registrationFailures;
        ++run.registrations;
    }
}

// Short-lived threads that call in from their own end as well.
StressRun* churning = nullptr;

std::int32_t KOV_CALL countLanguage(BrokerMessage* confirm) {
    if (confirm != nullptr && confirm->status == 0 && confirm->totalLength == 44 + 44)
        ++churning->churnAnswers;
    return 0;
}

void sendLanguage() {
    Request request(0, KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE);
    request->callback = countLanguage;
    ++churning->churnSends;
    churning->module->send(request.get());
}

struct SendsAtThreadEnd {
    ~SendsAtThreadEnd() { sendLanguage(); }
};

void sendFromExitHook(void*) { sendLanguage(); }

void startAndEndThreads(StressRun& run, platform::ThreadKey lateKey) {
    while (run.running()) {
        std::thread([lateKey] {
            thread_local SendsAtThreadEnd atEnd;
            (void)&atEnd;
            platform::setThreadValue(lateKey, reinterpret_cast<void*>(1));
            for (int n = 0; n < 3; ++n) sendLanguage();
        }).join();
        ++run.threadsStarted;
    }
}

// Requests the deferring provider keeps, failed later with a null from inside a flush call.
void parkRequests(StressRun& run) {
    while (run.running()) {
        Request request(run.deferring.load(), kDeferringSet, 0);
        BrokerMessage* confirm = nullptr;
        run.module->sendSync(request.get(), &confirm);
        ++run.parked;
        if (confirm == nullptr && request->status == KOV_STATUS_NO_MEMORY) {
            ++run.parkedFailed;
        } else if (confirm != nullptr && confirm->status == KOV_STATUS_UNKNOWN_PROVIDER &&
                   confirm->reserved == request->reserved) {
            run.module->deleteConfirm(confirm); // a stale handle
        } else {
            ++run.parkedWrong;
            if (confirm != nullptr) run.module->deleteConfirm(confirm);
        }
    }
}

// In turn: code 1 fails the kept requests with nulls; code 4 does too and keeps their headers,
// which code 3 then confirms, late. Each answers its own call at once (status 0 for code 1, 6 for
// the others).
void flushOnce(StressRun& run) {
    const std::uint32_t code = run.flushes % 3 == 0 ? 1 : run.flushes % 3 == 1 ? 4 : 3;
    Request request(run.deferring.load(), kDeferringSet, code);
    request->reserved = 0xF10000 + code;
    BrokerMessage* confirm = nullptr;
    run.module->sendSync(request.get(), &confirm);
    ++run.flushes;
    const std::uint32_t status = code == 1 ? 0 : KOV_STATUS_UNKNOWN_FUNCTION;
    if (confirm == nullptr ||
        (confirm->status != KOV_STATUS_UNKNOWN_PROVIDER &&
         (confirm->status != status || confirm->reserved != request->reserved)))
        ++run.flushWrong;
    if (confirm != nullptr) run.module->deleteConfirm(confirm);
}

struct Usage {
    std::uint32_t bytesInUse = 0, syncWaiting = 0;
};

Usage usage(StressRun& run) {
    std::vector<std::uint8_t> reply;
    if (run.callBroker(KOV_FN_GET_STATISTICS, {}, &reply) != 0 || reply.size() < 44 + 108) return {};
    return {u32(reply.data(), 44 + 96), u32(reply.data(), 44 + 104)};
}

struct ReentrantSeen {
    std::int32_t initOutcome, infoReturns, infoReturnOutcome;
};

using StressTest = FewGenerationsTest<16>;

TEST_F(StressTest, EveryEntryAtOnceAndEveryRequestIsAnsweredOnce) {
    test::offerBrokerExports(module_->send, module_->sendSync, module_->deleteConfirm);
    const std::string threadedPath = providerPath("kov_test_threaded");
    const std::string reentrantPath = providerPath("kov_test_reentrant");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Threaded", {threadedPath}));
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Locking", {providerPath("kov_test_locking")}));
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Deferring", {providerPath("kov_test_deferring")}));
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Reentrant", {reentrantPath}));

    nullDeliveries = 0;
    StressRun run;
    run.module = module_.get();
    ASSERT_TRUE(run.learnHandles()); // the first load
    const ProviderLibrary library(threadedPath);
    ASSERT_TRUE(library.loaded());
    const ProviderLibrary locking(providerPath("kov_test_locking"));
    ASSERT_TRUE(locking.loaded());
    const KovProviderCounters lockingBefore = locking.counters();
    const Usage start = usage(run);
    ASSERT_NE(start.bytesInUse, 0u);
    const KovProviderCounters libraryBefore = library.counters();
    // A thread-exit hook made after the module's own runs after it.
    platform::ThreadKey lateKey = nullptr;
    ASSERT_TRUE(platform::createThreadKey(&lateKey, sendFromExitHook));
    churning = &run;

    const double seconds = stressSeconds();
    run.end = Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    std::deque<Tracked> first, second; // each sender's requests, alive until the end
    std::vector<std::thread> threads;
    threads.emplace_back([&] { sendRequests(run, first, 0, 2); });
    threads.emplace_back([&] { sendRequests(run, second, 1, 2); });
    threads.emplace_back([&] { reloadProviders(run); });
    threads.emplace_back([&] { registerAndRemove(run, providerPath("kov_test_immediate")); });
    threads.emplace_back([&] { startAndEndThreads(run, lateKey); });
    std::atomic<bool> parkingDone{false};
    std::thread parking([&] {
        parkRequests(run);
        parkingDone = true;
    });
    std::thread flushing([&] {
        while (run.running()) {
            flushOnce(run);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    for (std::thread& thread : threads) thread.join();
    flushing.join();
    {
        // A request parked after the last flush waits for one more.
        const test::Deadline deadline("a parked request is never failed", 60);
        while (!parkingDone.load()) {
            flushOnce(run);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    parking.join();
    churning = nullptr;

    // Asynchronous answers may still be on their way from the provider's thread.
    const auto settled = Clock::now() + std::chrono::seconds(60);
    while (library.counters().pendingConfirms != libraryBefore.pendingConfirms &&
           Clock::now() < settled)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    run.releaseKept();
    EXPECT_EQ(library.counters().pendingConfirms, libraryBefore.pendingConfirms);

    std::uint32_t answered = 0, refusals = 0, lost = 0, doubled = 0;
    for (const std::deque<Tracked>* requests : {&first, &second}) {
        for (const Tracked& t : *requests) {
            const int n = t.confirms.load();
            if (n == 1) ++answered;
            if (n > 1) ++doubled;
            if (n == 0 && t.refused.load()) ++refusals;
            if (n == 0 && !t.refused.load()) ++lost;
            if (n != 0 && t.refused.load()) ++doubled; // refused, yet answered
        }
    }
    std::printf("stress: %.1f s, requests %u (synchronous %u), confirms %u (for a stale handle %u, "
                "kept %u, orphaned by a reload %u), refusals %u, reloads %u, registrations %u, "
                "threads started %u (sends %u), parked %u, flushes %u\n",
                seconds, run.sent.load(), run.syncSent.load(), run.confirms.load(), run.stale.load(),
                run.kept.load(), run.orphaned.load() + run.orphanedLocking.load(), refusals, run.reloads.load(),
                run.registrations.load(), run.threadsStarted.load(), run.churnSends.load(),
                run.parked.load(), run.flushes.load());

    EXPECT_GT(run.sent.load(), 0u);
    EXPECT_EQ(answered + refusals, run.sent.load());
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(doubled, 0u);
    EXPECT_EQ(refusals, 0u) << "nothing here refuses a request";
    EXPECT_EQ(run.malformed.load(), 0u);
    EXPECT_EQ(nullDeliveries.load(), 0u);
    EXPECT_EQ(run.badReleases.load(), 0u);
    EXPECT_GT(run.reloads.load(), 0u);
    EXPECT_EQ(run.reloadFailures.load(), 0u);
    EXPECT_GT(run.registrations.load(), 0u);
    EXPECT_EQ(run.registrationFailures.load(), 0u);
    EXPECT_GT(run.threadsStarted.load(), 0u);
    EXPECT_EQ(run.churnAnswers.load(), run.churnSends.load()) << "sends of ending threads";
    EXPECT_EQ(run.churnSends.load(), run.threadsStarted.load() * 5) << "3 sends, 2 at the end";
    EXPECT_GT(run.parkedFailed.load(), 0u);
    EXPECT_EQ(run.parkedWrong.load(), 0u) << "a parked call ended otherwise than by its null";
    EXPECT_EQ(run.flushWrong.load(), 0u) << "a flush lost its own answer";
    // Every confirm a provider built went back to it, but those whose record was reloaded away.
    const KovProviderCounters libraryAfter = library.counters();
    EXPECT_EQ((libraryAfter.confirmsBuilt - libraryBefore.confirmsBuilt) -
                  (libraryAfter.confirmsReleased - libraryBefore.confirmsReleased),
              static_cast<std::int32_t>(run.orphaned.load()));
    const KovProviderCounters lockingAfter = locking.counters();
    EXPECT_EQ((lockingAfter.confirmsBuilt - lockingBefore.confirmsBuilt) -
                  (lockingAfter.confirmsReleased - lockingBefore.confirmsReleased),
              static_cast<std::int32_t>(run.orphanedLocking.load()));
    // The library that sends from its information block's hand-back reached the broker each time.
    const ProviderLibrary reentrant(reentrantPath);
    using SeenFn = ReentrantSeen*(KOV_CALL*)();
    const auto seen = reinterpret_cast<SeenFn>(platform::findSymbol(
        platform::findLoadedModule(reentrantPath.c_str()), "kov_test_ReentrantSeen"));
    ASSERT_NE(seen, nullptr);
    EXPECT_GT(seen()->infoReturns, 1);
    EXPECT_EQ(seen()->infoReturnOutcome, kit::BrokerAnswered);
    platform::deleteThreadKey(lateKey);
    const Usage end = usage(run);
    EXPECT_EQ(end.bytesInUse, start.bytesInUse);
    EXPECT_EQ(end.syncWaiting, start.syncWaiting);
}

} // namespace
} // namespace kov::integration
