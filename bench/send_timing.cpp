// The send path timed with plain loops: the timing benchmark for targets without Google Benchmark
// (the MinGW build, run under Wine), built for every target. Prints the same figures and ratios
// as kov_send_bench.
// Run: build/<preset>/bin/kov_send_timing [ms per round, default 100] [repetitions, default 11]
#include "timing.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

unsigned roundMilliseconds = 100;
unsigned repetitions = 11;
std::atomic<bool> failed{false};

double seconds(Clock::duration elapsed) { return std::chrono::duration<double>(elapsed).count(); }
double cpuSeconds(std::clock_t from, std::clock_t to) {
    return static_cast<double>(to - from) / CLOCKS_PER_SEC;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One figure in the making: its request (single thread), the operations a round runs, and the
// value of each round.
struct Entry {
    const bench::Measurement* m = nullptr;
    bench::Request request;
    std::uint64_t batch = 0;
    std::vector<double> values;
    std::vector<double> cpuValues; // threaded figures: operations per processor-second
};

// Single thread: processor time per operation (ns), so that other work on the machine does not
// count; where clock() is wall time (the Windows C runtime) it is wall time.
double timeBatch(Entry& e) {
    const bench::Target& target = e.m->targets[0];
    const std::clock_t start = std::clock();
    for (std::uint64_t i = 0; i < e.batch; ++i)
        if (!e.m->operation(e.request, target)) failed = true;
    return cpuSeconds(start, std::clock()) * 1e9 / static_cast<double>(e.batch);
}

// The warm-up of a single-thread figure: runs it for a round's time, which also gives the number
// of operations a round runs.
void warmUp(Entry& e) {
    const bench::Target& target = e.m->targets[0];
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(roundMilliseconds);
    std::uint64_t done = 0;
    while (Clock::now() < end) {
        for (int i = 0; i < 100; ++i)
            if (!e.m->operation(e.request, target)) failed = true;
        done += 100;
    }
    e.batch = done;
}

struct Throughput {
    double perSecond = 0;    // over all threads, wall time
    double perCpuSecond = 0; // processor time of all threads
};

// One round of `m.threads` threads running at once for a round's time.
Throughput timeThreads(const bench::Measurement& m) {
    std::atomic<unsigned> ready{0};
    std::atomic<bool> go{false}, stop{false};
    std::vector<std::uint64_t> done(m.threads * 16, 0); // a cache line apart
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
    Throughput result;
    result.perSecond = static_cast<double>(total) / seconds(end - start);
    const double cpu = cpuSeconds(cpuStart, cpuEnd);
    result.perCpuSecond = cpu > 0 ? static_cast<double>(total) / cpu : 0;
    return result;
}

void runRound(Entry& e) {
    if (e.m->throughput) {
        const Throughput t = timeThreads(*e.m);
        e.values.push_back(t.perSecond);
        e.cpuValues.push_back(t.perCpuSecond);
    } else {
        e.values.push_back(timeBatch(e));
    }
}

// Every figure warmed up, then `repetitions` rounds, each running every figure once in an order
// turned by one each round; each figure is the median of its rounds.
void measure(const std::vector<bench::Measurement>& group, bench::Figures& figures) {
    std::vector<Entry> entries(group.size());
    for (std::size_t i = 0; i < group.size(); ++i) {
        Entry& e = entries[i];
        e.m = &group[i];
        bench::prepare(e.request, e.m->targets[0]);
        if (e.m->throughput)
            timeThreads(*e.m);
        else
            warmUp(e);
    }
    for (unsigned round = 0; round < repetitions; ++round) {
        for (std::size_t k = 0; k < entries.size(); ++k)
            runRound(entries[(k + round) % entries.size()]);
        std::fprintf(stderr, "\rbench: round %u of %u", round + 1, repetitions);
    }
    std::fprintf(stderr, "\n");
    for (Entry& e : entries) {
        figures[e.m->name] = median(e.values);
        if (e.m->throughput) {
            figures[e.m->name + bench::kPerCpuSuffix] = median(e.cpuValues);
            std::printf("%-22s %14.1f ops/s %14.1f ops/cpu-s\n", e.m->name.c_str(),
                        figures[e.m->name], figures[e.m->name + bench::kPerCpuSuffix]);
        } else {
            // The spread of the rounds says how far the machine let the figure move.
            const auto [least, most] = std::minmax_element(e.values.begin(), e.values.end());
            std::printf("%-22s %14.1f ns (rounds %.1f to %.1f)\n", e.m->name.c_str(),
                        figures[e.m->name], *least, *most);
        }
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) roundMilliseconds = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    if (argc > 2) repetitions = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    if (roundMilliseconds == 0) roundMilliseconds = 100;
    if (repetitions == 0) repetitions = 11;
    bench::Figures figures;
    if (!bench::measureAll(measure, figures)) return 1;
    if (failed) {
        std::fprintf(stderr, "kov_send_timing: a request went wrong; the figures are worthless\n");
        return 1;
    }
    bench::printReport(figures);
    return 0;
}
