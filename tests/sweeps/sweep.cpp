#include "sweeps/sweep.h"

#include "sweeps/heap_faults.h"
#include "support/watchdog.h"

#include "dispatch/send.h"
#include "runtime/process.h"

#include <cstdio>

namespace kov::test {
namespace {

constexpr unsigned kMaxN = 400; // a run that still meets faults after this many calls is a loop
constexpr int kCaseSeconds = 20; // generous for qemu; a hang is far longer

// A kind of call that can be made to fail.
struct Kind {
    const char* name;
    int fault; // a platform fault kind, or -1 for the C++ heap
};

std::vector<Kind> kinds() {
    static const char* const names[] = {"GlobalAlloc", "GlobalFree", "CreateLock", "CreateEvent",
                                        "InitSecurity", "SetDacl", "LoadLibrary", "FindSymbol",
                                        "CreateKey", "EnumKey", "EnumValue", "SetValue",
                                        "DeleteValue", "DeleteKey", "QueryValueCount",
                                        "LoadString", "CppHeap", "StateWrite", "StateRead",
                                        "CreateRegion"};
    static_assert(sizeof names / sizeof names[0] == unsigned(faults::Fault::Count));
    std::vector<Kind> all{{"C++ heap", -1}};
    // This program fails the C++ heap through its own operator new (the first kind above).
    for (unsigned k = 0; k < unsigned(faults::Fault::Count); ++k)
        if (k != unsigned(faults::Fault::CppHeap)) all.push_back({names[k], int(k)});
    return all;
}

void arm(const Kind& kind, unsigned n, bool andAfter) {
    if (kind.fault < 0)
        heap::failNth(n, andAfter);
    else
        faults::failNth(faults::Fault(kind.fault), n, andAfter);
}

unsigned disarm(const Kind& kind) {
    const unsigned seen =
        kind.fault < 0 ? heap::callsSeen() : faults::callsSeen(faults::Fault(kind.fault));
    heap::clear();
    faults::clear();
    return seen;
}

} // namespace

void SweepTest::SetUp() {
    BrokerTest::SetUp();
    heap::clear();
    for (const char* name :
         {"kov_test_immediate", "kov_test_threaded", "kov_test_refusing", "kov_test_three_sets"})
        held_.push_back(platform::loadLibrary(providerPath(name).c_str()));
}

void SweepTest::TearDown() {
    heap::clear();
    BrokerTest::TearDown();
    for (platform::ModuleHandle module : held_)
        if (module != nullptr) platform::freeLibrary(module);
    held_.clear();
}

void SweepTest::registerThree() {
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    registerInRegistry("Threaded", {providerPath("kov_test_threaded")});
    registerInRegistry("Refusing", {providerPath("kov_test_refusing")});
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> SweepTest::listShape() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> shape;
    for (const ListedSet& set : listedSets()) shape.emplace_back(set.functionSet, set.descriptor);
    return shape;
}

void SweepTest::expectBrokerReachable() {
    Request request(0, 0, KOV_FN_GET_STATISTICS);
    SyncOutcome out;
    sendSyncRecording(request, out);
    ASSERT_FALSE(out.threw);
    ASSERT_NE(out.confirm, nullptr) << "handle 0 answers GetStatistics";
    EXPECT_EQ(out.confirm->status, 0u);
    EXPECT_EQ(out.confirm->totalLength, 44u + 108u) << "the broker provider's statistics reply";
    EXPECT_EQ(dispatch::deleteConfirm(out.confirm), 0);
}

unsigned SweepTest::sweep(const char* name, SweptOperation& operation) {
    // The unfaulted run defines the state every faulted case must end in.
    operation.prepare();
    operation.run();
    operation.verify();
    operation.restore();
    const auto shape = listShape();
    const StatisticsRecord reference = statistics();
    EXPECT_EQ(reference.syncWaiting, 0u);

    Watchdog watchdog;
    unsigned cases = 0;
    char what[160];
    for (const Kind& kind : kinds()) {
        for (const bool andAfter : {false, true}) {
            for (unsigned n = 1;; ++n) {
                std::snprintf(what, sizeof what, "%s, %s call %u%s", name, kind.name, n,
                              andAfter ? " and after" : "");
                SCOPED_TRACE(what);
                operation.prepare();
                watchdog.start(what, kCaseSeconds);
                arm(kind, n, andAfter);
                operation.run();
                const unsigned seen = disarm(kind);
                watchdog.stop();
                ++cases;
                operation.verify();
                operation.restore();
                const StatisticsRecord after = statistics();
                EXPECT_EQ(after.syncWaiting, reference.syncWaiting);
                // A failed GlobalFree keeps its block by definition; every other fault gives
                // everything back.
                if (kind.fault != int(faults::Fault::GlobalFree)) {
                    EXPECT_EQ(after.bytesInUse, reference.bytesInUse) << "blocks leaked";
                }
                expectBrokerReachable();
                EXPECT_EQ(listShape(), shape) << "the list changed";
                if (::testing::Test::HasFailure()) {
                    std::printf("sweep %s: stopped at the first wrong case (%s)\n", name, what);
                    return cases;
                }
                if (seen < n) break;
                if (n == kMaxN) {
                    ADD_FAILURE() << "still meeting faults after " << kMaxN << " calls";
                    break;
                }
            }
        }
    }
    std::printf("sweep %s: %u cases\n", name, cases);
    return cases;
}

void sendSyncRecording(Request& request, SyncOutcome& out) {
    out = SyncOutcome{};
    try {
        out.result = dispatch::sendSync(request.get(), &out.confirm);
    } catch (...) {
        out.threw = true;
    }
    out.status = request->status;
}

void expectSyncOutcome(const SyncOutcome& out, std::uint32_t okStatus) {
    EXPECT_FALSE(out.threw) << "an exception left the synchronous send";
    if (out.confirm == nullptr) {
        EXPECT_EQ(out.status, 3u) << "null only for want of memory";
        return;
    }
    EXPECT_NE(out.result, 0);
    const std::uint32_t status = out.confirm->status;
    EXPECT_TRUE(status == 0 || status == okStatus || status == 2 || status == 3)
        << "status " << status;
    EXPECT_EQ(dispatch::deleteConfirm(out.confirm), 0);
}

} // namespace kov::test
