// Four threads at once for a bounded time: two send synchronous and asynchronous requests to a
// provider that confirms from its own thread and to handle 0, one reloads the providers, one
// registers and removes a provider. Every request must get exactly one confirm or a refusal,
// every kept confirm must be released, and the broker's blocks must be back where they started.
// The run lasts KOV_STRESS_SECONDS (3 unless set) and prints its counts.
#include "integration/module_harness.h"

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

double stressSeconds() {
    const char* text = std::getenv("KOV_STRESS_SECONDS");
    const double seconds = text != nullptr ? std::atof(text) : 0;
    return seconds > 0 ? seconds : 3;
}

struct StressRun;

// One request and what came back for it; asynchronous answers arrive on any thread.
struct Tracked {
    Tracked(StressRun* r, std::uint32_t i, bool broker, bool sync, ProviderHandle provider);

    StressRun* run;
    std::uint32_t id;
    bool toBroker, synchronous;
    ProviderHandle handle;
    Request request;
    std::atomic<int> confirms{0};
    std::atomic<bool> refused{false};
};

struct StressRun {
    BrokerModule* module;
    Clock::time_point end;
    std::atomic<ProviderHandle> threaded{0};

    std::atomic<std::uint32_t> sent{0}, syncSent{0}, confirms{0}, stale{0}, malformed{0};
    std::atomic<std::uint32_t> kept{0}, orphaned{0}, badReleases{0};
    std::atomic<std::uint32_t> reloads{0}, reloadFailures{0};
    std::atomic<std::uint32_t> registrations{0}, registrationFailures{0};

    std::mutex keptLock;
    std::vector<std::pair<const Tracked*, BrokerMessage*>> keptConfirms; // by the callback

    bool running() const { return Clock::now() < end; }

    // Whether the confirm is the one its request asked for: an echo of the threaded provider,
    // the broker's information reply, or an error confirm for a handle a reload made stale.
    void check(const Tracked& t, const BrokerMessage* confirm) {
        ++confirms;
        bool good = confirm->reserved == t.id;
        if (confirm->status == KOV_STATUS_UNKNOWN_PROVIDER) {
            ++stale;
            good = good && !t.toBroker && confirm->provider == t.handle &&
                   confirm->totalLength == confirm->headerLength;
        } else if (t.toBroker) {
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
        const bool brokerBuilt = t.toBroker || confirm->status == KOV_STATUS_UNKNOWN_PROVIDER;
        const std::int32_t result = module->deleteConfirm(confirm);
        if (result == KOV_STATUS_UNKNOWN_PROVIDER && !brokerBuilt)
            ++orphaned;
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
};

std::vector<std::uint8_t> echoPayload(std::uint32_t id) {
    std::vector<std::uint8_t> payload;
    test::appendU32(payload, id % 3); // the provider's delay in milliseconds
    test::appendU32(payload, id);
    return payload;
}

Tracked::Tracked(StressRun* r, std::uint32_t i, bool broker, bool sync, ProviderHandle provider)
    : run(r), id(i), toBroker(broker), synchronous(sync), handle(broker ? 0 : provider),
      request(broker ? Request(0, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO)
                     : Request(provider, kThreadedSet, 0, 44, echoPayload(i))) {
    request->reserved = id;
}

// A null carries no callbackData, so it cannot be told whose it is; none should come.
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
// threaded provider and to handle 0. Ids are unique across senders (first, first + step, ...).
void sendRequests(StressRun& run, std::deque<Tracked>& mine, std::uint32_t first, std::uint32_t step) {
    for (std::uint32_t id = first; run.running(); id += step) {
        const std::uint32_t kind = (id / step) % 4;
        const bool toBroker = kind >= 2, synchronous = kind % 2 == 1;
        Tracked& t = mine.emplace_back(&run, id, toBroker, synchronous, run.threaded.load());
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
        std::vector<std::uint8_t> listing;
        const ProviderHandle handle =
            run.callBroker(KOV_FN_LIST_SUBSYSTEMS, {}, &listing) == 0
                ? handleServing(parseList(listing), kThreadedSet)
                : 0;
        if (handle == 0)
            ++run.reloadFailures;
        else
            run.threaded = handle;
        ++run.reloads;
        // Most sends reach the provider between reloads; some still find their handle stale.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void registerAndRemove(StressRun& run, const std::string& path) {
    while (run.running()) {
        for (const std::uint32_t operation : {KOV_REGISTER, 0u})
            if (run.callBroker(KOV_FN_REGISTER_PROVIDER,
                               registrationPayload(operation, "StressImmediate", path)) != 0)
                ++run.registrationFailures;
        ++run.registrations;
    }
}

struct Usage {
    std::uint32_t bytesInUse = 0, syncWaiting = 0;
};

Usage usage(StressRun& run) {
    std::vector<std::uint8_t> reply;
    if (run.callBroker(KOV_FN_GET_STATISTICS, {}, &reply) != 0 || reply.size() < 44 + 108) return {};
    return {u32(reply.data(), 44 + 96), u32(reply.data(), 44 + 104)};
}

using StressTest = ModuleTest;

TEST_F(StressTest, FourThreadsSendReloadAndRegisterAndEveryRequestIsAnsweredOnce) {
    const std::string threadedPath = providerPath("kov_test_threaded");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Threaded", {threadedPath}));
    const ProviderLibrary library(threadedPath);
    ASSERT_TRUE(library.loaded());

    nullDeliveries = 0;
    StressRun run;
    run.module = module_.get();
    run.threaded = handleServing(list(), kThreadedSet);
    ASSERT_NE(run.threaded.load(), 0u);
    const Usage start = usage(run);
    ASSERT_NE(start.bytesInUse, 0u);
    const KovProviderCounters libraryBefore = library.counters();

    const double seconds = stressSeconds();
    run.end = Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    std::deque<Tracked> first, second; // each sender's requests, alive until the end
    std::vector<std::thread> threads;
    threads.emplace_back([&] { sendRequests(run, first, 0, 2); });
    threads.emplace_back([&] { sendRequests(run, second, 1, 2); });
    threads.emplace_back([&] { reloadProviders(run); });
    threads.emplace_back([&] { registerAndRemove(run, providerPath("kov_test_immediate")); });
    for (std::thread& thread : threads) thread.join();

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
                "kept %u, orphaned by a reload %u), refusals %u, reloads %u, registrations %u\n",
                seconds, run.sent.load(), run.syncSent.load(), run.confirms.load(), run.stale.load(),
                run.kept.load(), run.orphaned.load(), refusals, run.reloads.load(),
                run.registrations.load());

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
    // Every confirm the provider built went back to it, but those whose record was reloaded away.
    const KovProviderCounters libraryAfter = library.counters();
    EXPECT_EQ((libraryAfter.confirmsBuilt - libraryBefore.confirmsBuilt) -
                  (libraryAfter.confirmsReleased - libraryBefore.confirmsReleased),
              static_cast<std::int32_t>(run.orphaned.load()));
    const Usage end = usage(run);
    EXPECT_EQ(end.bytesInUse, start.bytesInUse);
    EXPECT_EQ(end.syncWaiting, start.syncWaiting);
}

} // namespace
} // namespace kov::integration
