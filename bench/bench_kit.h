// What both benchmark programs share: the broker set-ups they measure in, the operations they time
// and the report of figures and ratios. The Google Benchmark program (Linux) and the plain timing
// loop (every target; the one the MinGW build runs under Wine) differ only in how they time.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

// Distinct copies of one test provider library (kov_test_immediate, which answers on the calling
// thread): separate libraries with their own state, so threads sending to different providers
// share nothing inside the providers either.
constexpr unsigned kLibraries = 4;
constexpr unsigned kManyProviders = 10000;
constexpr unsigned kThreadCounts[] = {1, 2, 4};

// One request per thread; its callback keeps the confirm, which the operation then releases.
struct Request {
    std::uint32_t words[16] = {};
    BrokerMessage* confirm = nullptr;
    BrokerMessage* message() { return reinterpret_cast<BrokerMessage*>(words); }
};

// Where an operation goes: a provider handle and function for the broker's exports, or the
// entries of a library for the direct call.
struct Target {
    ProviderHandle provider = 0;
    std::uint32_t set = 0;
    std::uint32_t code = 0;
    KovReceiveFn receive = nullptr;
    KovDeleteReceiveFn deleteReceive = nullptr;
};

// One request and the release of its confirm; false when that went wrong (the figure is then
// worthless, and the programs stop and say so).
using Operation = bool (*)(Request& request, const Target& target);

// One figure to measure: `threads` threads at once, thread t running `operation` on
// targets[t % targets.size()]. One thread gives processor time per operation (ns); threaded
// ones give operations per second over all threads (so do the "_x1" figures, the base of the
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

// Fills `request` for `target` (callback and callbackData included).
void prepare(Request& request, const Target& target);

// Measures one group of figures with the broker loaded as the group needs, and puts them into
// `figures` by name. Supplied by each program: this is the part that times.
using MeasureGroup = void (*)(const std::vector<Measurement>& group,
                              std::map<std::string, double>& figures);

// Runs every group: the broker is attached over a scratch registry and loaded for each (one
// provider; kLibraries providers; kManyProviders providers), measured, then detached. Returns
// false when something could not be set up (said on stderr).
bool measureAll(MeasureGroup measure, std::map<std::string, double>& figures);

// Prints every figure measured and the ratios between them, with the targets they are held to.
void printReport(const std::map<std::string, double>& figures);

} // namespace bench
