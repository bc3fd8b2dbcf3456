// The send path timed with plain loops: the benchmark for targets without Google Benchmark (the
// MinGW build, run under Wine), built for every target. Prints the same figures and ratios as
// kov_send_bench. Run: build/<preset>/bin/kov_send_timing [milliseconds per round, default 300]
#include "bench_kit.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 5; // the best round counts: other work on the machine only slows one down
unsigned roundMilliseconds = 300;
std::atomic<bool> failed{false};

double seconds(Clock::duration elapsed) { return std::chrono::duration<double>(elapsed).count(); }
double cpuSeconds(std::clock_t from, std::clock_t to) {
    return static_cast<double>(to - from) / CLOCKS_PER_SEC;
}

// Processor time per operation on this thread (ns), so that other work on the machine does not
// count; where clock() is wall time (the Windows C runtime) it is wall time. Batches until the
// round's time is up.
double timeOne(const bench::Measurement& m) {
    bench::Request request;
    bench::prepare(request, m.targets[0]);
    const bench::Target& target = m.targets[0];
    double best = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(roundMilliseconds);
        const std::clock_t cpuStart = std::clock();
        std::uint64_t done = 0;
        while (Clock::now() < end) {
            for (int i = 0; i < 1000; ++i)
                if (!m.operation(request, target)) failed = true;
            done += 1000;
        }
        const double ns = cpuSeconds(cpuStart, std::clock()) * 1e9 / static_cast<double>(done);
        if (round == 0 || ns < best) best = ns;
    }
    return best;
}

struct Throughput {
    double perSecond = 0;    // over all threads, wall time
    double perCpuSecond = 0; // processor time of all threads
};

// Operations per second over `m.threads` threads running at once: the best round.
Throughput timeThreads(const bench::Measurement& m) {
    Throughput best;
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<unsigned> ready{0};
        std::atomic<bool> go{false}, stop{false};
        std::vector<std::uint64_t> done(m.threads * 16, 0); // a line apart
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < m.threads; ++t) {
            threads.emplace_back([&, t] {
                bench::Request request;
                const bench::Target& target = m.targets[t % m.targets.size()];
                bench::prepare(request, target);
                if (!m.operation(request, target)) failed = true; // the thread's first use
                ready.fetch_add(1);
                while (!go.load()) std::this_thread::yield();
                std::uint64_t count = 0;
                while (!stop.load(std::memory_order_relaxed)) {
                    if (!m.operation(request, target)) failed = true;
                    ++count;
                }
                done[t * 16] = count;
            });
        }
        while (ready.load() != m.threads) std::this_thread::yield();
        const Clock::time_point start = Clock::now();
        const std::clock_t cpuStart = std::clock();
        go.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(roundMilliseconds));
        stop.store(true);
        const std::clock_t cpuEnd = std::clock();
        const Clock::time_point end = Clock::now();
        for (std::thread& thread : threads) thread.join();
        std::uint64_t total = 0;
        for (unsigned t = 0; t < m.threads; ++t) total += done[t * 16];
        const double perSecond = static_cast<double>(total) / seconds(end - start);
        if (perSecond > best.perSecond) {
            best.perSecond = perSecond;
            const double cpu = cpuSeconds(cpuStart, cpuEnd);
            best.perCpuSecond = cpu > 0 ? static_cast<double>(total) / cpu : 0;
        }
    }
    return best;
}

void measure(const std::vector<bench::Measurement>& group, std::map<std::string, double>& figures) {
    for (const bench::Measurement& m : group) {
        if (m.throughput) {
            const Throughput t = timeThreads(m);
            std::printf("%-22s %14.1f ops/s %14.1f ops/cpu-s\n", m.name.c_str(), t.perSecond,
                        t.perCpuSecond);
            figures[m.name] = t.perSecond;
            figures[m.name + bench::kPerCpuSuffix] = t.perCpuSecond;
        } else {
            figures[m.name] = timeOne(m);
            std::printf("%-22s %14.1f ns\n", m.name.c_str(), figures[m.name]);
        }
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) roundMilliseconds = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    if (roundMilliseconds == 0) roundMilliseconds = 300;
    std::map<std::string, double> figures;
    if (!bench::measureAll(measure, figures)) return 1;
    if (failed) {
        std::fprintf(stderr, "kov_send_timing: a request went wrong; the figures are worthless\n");
        return 1;
    }
    bench::printReport(figures);
    return 0;
}
