// What the two timing programs share: the figures, the set-ups they are measured in, and the
// report of each figure beside its ratio to the direct call. kov_send_bench (Google Benchmark)
// and kov_send_timing (plain loops, the one the MinGW build runs under Wine) differ only in how
// they time.
#pragma once

#include "bench_kit.h"

#include <map>
#include <string>
#include <vector>

namespace bench {

constexpr unsigned kThreadCounts[] = {1, 2, 4};

// One figure: `threads` threads at once, thread t running `operation` on
// targets[t % targets.size()]. One thread gives processor time per operation (ns); threaded ones
// give operations per second over all threads (so do the "_x1" figures, the base of the
// thread-scaling ratios).
struct Measurement {
    std::string name;
    Operation operation;
    std::vector<Target> targets;
    unsigned threads;
    bool throughput;
};

// A threaded figure's twin: operations per second of processor time over all threads. Against
// 1 thread it shows what more threads cost one another (contention) whatever the machine's load.
constexpr const char* kPerCpuSuffix = "_cpu";

using Figures = std::map<std::string, double>;

// Measures one group of figures, with the broker loaded as the group needs, into `figures`.
// Supplied by each program: this is the part that times. The figures of a group are measured in
// interleaved repetitions (each repetition runs every figure once), after a warm-up of each, and
// each figure is the median of its repetitions: drift of the machine then moves all figures of a
// group alike, and the ratios stay.
using MeasureGroup = void (*)(const std::vector<Measurement>& group, Figures& figures);

// Runs every group: a provider list written (one provider; kLibraries providers; kManyProviders
// providers), the module loaded over it, the group measured, the module freed. False when
// something could not be set up (said on stderr).
bool measureAll(MeasureGroup measure, Figures& figures);

// Prints every figure with its ratio to the direct call, then the ratios the targets are about.
void printReport(const Figures& figures);

} // namespace bench
