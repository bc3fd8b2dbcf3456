#include "timing.h"

#include <chrono>
#include <cstdio>

namespace bench {
namespace {

Measurement single(const char* name, Operation operation, const Target& target) {
    return {name, operation, {target}, 1, false};
}

std::string threaded(const char* base, unsigned threads) {
    return std::string(base) + "_x" + std::to_string(threads);
}

std::vector<Measurement> onePath(const LoadedBroker& broker) {
    const Target& provider = broker.library(0);
    return {single("direct", directCall, provider),
            single("send", sendAndDelete, provider),
            single("send_sync", sendSyncAndDelete, provider),
            single("broker_info", sendAndDelete,
                   broker.brokerProvider(KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO)),
            single("get_language", sendAndDelete,
                   broker.brokerProvider(KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE)),
            single("unknown_handle", sendAndDelete, broker.unknownHandle())};
}

std::vector<Measurement> threads(const LoadedBroker& broker) {
    std::vector<Target> separate;
    for (unsigned i = 0; i < kLibraries; ++i) separate.push_back(broker.library(i));
    const std::vector<Target> one = {broker.library(0)};
    std::vector<Measurement> group;
    for (unsigned n : kThreadCounts) {
        group.push_back({threaded("direct_one", n), directCall, one, n, true});
        group.push_back({threaded("direct_separate", n), directCall, separate, n, true});
        group.push_back({threaded("send_one", n), sendAndDelete, one, n, true});
        group.push_back({threaded("send_separate", n), sendAndDelete, separate, n, true});
    }
    return group;
}

std::vector<Measurement> manyProviders(const LoadedBroker& broker) {
    // The direct call again, so the ratio holds whatever the machine did since the first group.
    return {single("direct_many", directCall, broker.farthest()),
            single("send_many", sendAndDelete, broker.farthest())};
}

struct Group {
    const char* tag;
    unsigned libraries;
    unsigned keys;
    std::vector<Measurement> (*build)(const LoadedBroker&);
};

bool measureGroup(MeasureGroup measure, const Group& group, Figures& figures) {
    std::fprintf(stderr, "bench: writing %u provider keys and loading them...\n", group.keys);
    const auto start = std::chrono::steady_clock::now();
    const ProviderList list(group.tag, group.libraries, group.keys);
    if (!list.written()) return false;
    const LoadedBroker broker(group.libraries, group.keys);
    if (!broker.ready()) return false;
    std::fprintf(stderr, "bench: ready in %.1f s\n",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    measure(group.build(broker), figures);
    return true;
}

double figure(const Figures& figures, const std::string& name) {
    const auto found = figures.find(name);
    return found != figures.end() ? found->second : 0;
}

// " ok" or " MISSED" after a target, or nothing when the figure is missing.
const char* verdict(double value, double limit, bool atMost) {
    if (value <= 0) return "";
    return (atMost ? value <= limit : value >= limit) ? "  ok" : "  MISSED";
}

void printTarget(const char* what, double value, const char* unit, const char* relation,
                 double limit, bool atMost) {
    if (value <= 0) return;
    std::printf("  %-46s %8.2f%s  target %s %.2f%s%s\n", what, value, unit, relation, limit, unit,
                verdict(value, limit, atMost));
}

} // namespace

bool measureAll(MeasureGroup measure, Figures& figures) {
    const Group groups[] = {{"bench_one", 1, 1, onePath},
                            {"bench_threads", kLibraries, kLibraries, threads},
                            {"bench_many", kLibraries, kManyProviders, manyProviders}};
    for (const Group& group : groups)
        if (!measureGroup(measure, group, figures)) return false;
    return true;
}

void printReport(const Figures& figures) {
    struct Line {
        const char* name;
        const char* direct; // the direct call of the same group
        const char* what;
    };
    const Line lines[] = {
        {"direct", "direct", "the provider's kov_Receive + kov_DeleteReceive, no broker"},
        {"send", "direct", "kov_Send + kov_DeleteConfirm to that provider"},
        {"send_sync", "direct", "kov_SendSync + kov_DeleteConfirm"},
        {"broker_info", "direct", "handle 0, GetBrokerInfo"},
        {"get_language", "direct", "handle 0, GetLanguage"},
        {"unknown_handle", "direct", "a handle no provider has: the broker's error confirm"},
        {"direct_many", "direct_many", "the direct call with 10,000 providers loaded"},
        {"send_many", "direct_many", "kov_Send with 10,000 providers loaded, to the farthest"},
    };
    std::printf("\nOne request and the release of its confirm (ns of processor time, median):\n");
    for (const Line& line : lines) {
        const double value = figure(figures, line.name), direct = figure(figures, line.direct);
        if (value <= 0 || direct <= 0) continue;
        std::printf("  %-16s %9.1f ns %7.2fx direct   %s\n", line.name, value, value / direct,
                    line.what);
    }

    std::printf(
        "\nThreads (operations per second over all threads, by wall time and by processor\n"
        "time; against 1 thread the second stays near 1.0x unless threads slow one another):\n");
    for (const char* base : {"direct_one", "direct_separate", "send_one", "send_separate"}) {
        const double one = figure(figures, threaded(base, 1));
        const double oneCpu = figure(figures, threaded(base, 1) + kPerCpuSuffix);
        for (unsigned n : kThreadCounts) {
            const std::string name = threaded(base, n);
            const double rate = figure(figures, name);
            const double cpu = figure(figures, name + kPerCpuSuffix);
            if (rate <= 0 || one <= 0) continue;
            std::printf("  %-20s %12.0f/s %6.2fx 1 thread   %12.0f/cpu-s %6.2fx\n", name.c_str(),
                        rate, rate / one, cpu, oneCpu > 0 ? cpu / oneCpu : 0.0);
        }
    }

    std::printf("\nTargets:\n");
    const double direct = figure(figures, "direct"), send = figure(figures, "send");
    if (direct > 0) {
        printTarget("kov_Send against the direct call", send / direct, "x",
                    "<=", KOV_BENCH_SEND_TARGET, true);
    }
    if (send > 0) {
        printTarget("kov_SendSync against kov_Send", figure(figures, "send_sync") / send, "x",
                    "<=", 1.2, true);
    }
    const double separate = figure(figures, threaded("send_separate", 1));
    if (separate > 0) {
        printTarget("2 threads to separate providers against 1",
                    figure(figures, threaded("send_separate", 2)) / separate, "x", ">=", 1.8,
                    false);
        // What the machine itself allows: where the direct calls do not scale (a busy machine,
        // a heap that serialises threads), the broker cannot either.
        const double directSeparate = figure(figures, threaded("direct_separate", 1));
        if (directSeparate > 0)
            std::printf("  %-46s %8.2fx  (no broker: the machine's own scaling)\n",
                        "  the same with direct calls",
                        figure(figures, threaded("direct_separate", 2)) / directSeparate);
    }
    const double directMany = figure(figures, "direct_many");
    if (direct > 0 && send > 0 && directMany > 0) {
        // Each against the direct call of its own group, so that drift between groups cancels.
        printTarget("10,000 providers against 1 (each x its direct)",
                    (figure(figures, "send_many") / directMany) / (send / direct), "x", "<=", 1.05,
                    true);
    }
    if (KOV_BENCH_BROKER_INFO_TARGET_NS > 0) {
        printTarget("GetBrokerInfo + kov_DeleteConfirm", figure(figures, "broker_info"), " ns",
                    "<=", KOV_BENCH_BROKER_INFO_TARGET_NS, true);
    }
}

} // namespace bench
