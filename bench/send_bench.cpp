// The send path under Google Benchmark (Linux): the direct call of a provider, kov_Send,
// kov_SendSync, the broker provider, an unknown handle, 1/2/4 threads to one provider and to
// separate providers, 1 and 10,000 providers loaded; then each figure beside its ratio to the
// direct call. Repetitions are interleaved at random and each figure is their median, after a
// warm-up (flags given on the command line take the place of these defaults).
// Run: build/linux/bin/kov_send_bench [Google Benchmark flags]
#include "timing.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::atomic<bool> failed{false};

// Takes each figure as it is reported (the median when repetitions are asked for): processor
// time per operation (ns), so that other work on the machine does not count, or for the
// threaded ones operations per second over all threads, by wall time and by processor time.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    explicit CollectingReporter(bench::Figures& figures) : figures_(figures) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") continue;
            const std::string& name = run.run_name.function_name;
            if (!aggregate && medians_.count(name) != 0) continue;
            if (aggregate) medians_[name] = true;
            const auto rate = run.counters.find("items_per_second");
            if (name.find("_x") == std::string::npos || rate == run.counters.end()) {
                figures_[name] = run.GetAdjustedCPUTime();
            } else {
                figures_[name] = static_cast<double>(rate->second);
                // Iterations and processor time are both summed over the threads.
                if (run.cpu_accumulated_time > 0)
                    figures_[name + bench::kPerCpuSuffix] =
                        static_cast<double>(run.iterations) / run.cpu_accumulated_time;
            }
        }
    }

private:
    bench::Figures& figures_;
    std::map<std::string, bool> medians_;
};

void measure(const std::vector<bench::Measurement>& group, bench::Figures& figures) {
    for (const bench::Measurement& m : group) {
        benchmark::internal::Benchmark* b =
            benchmark::RegisterBenchmark(m.name.c_str(), [m](benchmark::State& state) {
                const bench::Target& target =
                    m.targets[static_cast<unsigned>(state.thread_index()) % m.targets.size()];
                bench::Request request;
                bench::prepare(request, target);
                for (auto _ : state) {
                    if (!m.operation(request, target)) {
                        failed = true;
                        state.SkipWithError("a request went wrong");
                        break;
                    }
                }
                state.SetItemsProcessed(state.iterations());
            });
        b->Unit(benchmark::kNanosecond)->MinWarmUpTime(0.1);
        if (m.throughput) b->Threads(static_cast<int>(m.threads))->UseRealTime();
    }
    CollectingReporter reporter(figures);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::ClearRegisteredBenchmarks();
}

} // namespace

int main(int argc, char** argv) {
    // The defaults go first, so that the same flags given on the command line win.
    std::vector<char*> args = {argv[0]};
    std::string defaults[] = {
        "--benchmark_repetitions=11", "--benchmark_enable_random_interleaving=true",
        "--benchmark_min_time=0.1", "--benchmark_report_aggregates_only=true"};
    for (std::string& flag : defaults) args.push_back(flag.data());
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    bench::Figures figures;
    const bool measured = bench::measureAll(measure, figures);
    benchmark::Shutdown();
    if (!measured) return 1;
    if (failed) {
        std::fprintf(stderr, "kov_send_bench: a request went wrong; the figures are worthless\n");
        return 1;
    }
    bench::printReport(figures);
    return 0;
}
