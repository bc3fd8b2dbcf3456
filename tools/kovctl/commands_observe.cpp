// ps, stats --pid, top and trace: the counters other processes publish in their regions, read
// without loading the broker. Each region is copied before it is read, and read only once the
// copy passed every check (observe/region_reader.h); a region that fails is reported as
// malformed, one whose process is gone as stale.
#include "commands.h"

#include "observe/region_reader.h"
#include "platform/platform.h"
#include "report.h"

#include <chrono>
#include <ctime>
#include <iostream>
#include <thread>

namespace kovctl {
namespace {

using kov::observe::ProviderCounts;
using kov::observe::RegionCounts;

// Larger than any region this layout makes; a file beyond it is refused unread.
constexpr std::uint32_t kMaxRegionBytes = 1u << 20;

enum class RegionState { Running, Stale, Malformed, Unreadable };

const char* stateName(RegionState state) {
    switch (state) {
    case RegionState::Running: return "running";
    case RegionState::Stale: return "stale";
    case RegionState::Malformed: return "malformed";
    default: return "unreadable";
    }
}

struct Sample {
    std::uint32_t pid = 0;
    RegionState state = RegionState::Unreadable;
    std::string problem;
    RegionCounts counts;
};

// The region of `pid`, copied and checked, with whether its process still runs.
Sample sampleOf(std::uint32_t pid) {
    Sample sample;
    sample.pid = pid;
    kov::platform::MappedRegion region;
    const long error = kov::platform::openRegion(pid, false, kMaxRegionBytes, region);
    if (error != 0) {
        sample.problem = kov::platform::errorText(error);
        return sample;
    }
    const std::string copy(reinterpret_cast<const char*>(region.memory), region.size);
    kov::platform::closeRegion(region);
    const bool readable = kov::observe::readRegion(reinterpret_cast<const unsigned char*>(copy.data()),
                                              copy.size(), sample.counts, sample.problem);
    if (readable && sample.counts.pid != pid) {
        sample.problem = "it names process " + std::to_string(sample.counts.pid);
        sample.state = RegionState::Malformed;
        return sample;
    }
    const std::string token = readable ? sample.counts.startToken : std::string();
    if (kov::platform::processState(pid, token) == kov::platform::ProcessState::Gone)
        sample.state = RegionState::Stale;
    else
        sample.state = readable ? RegionState::Running : RegionState::Malformed;
    return sample;
}

std::vector<Sample> sampleAll() {
    std::vector<Sample> samples;
    for (const std::uint32_t pid : kov::platform::regionProcesses()) samples.push_back(sampleOf(pid));
    return samples;
}

std::uint64_t uptimeOf(const RegionCounts& counts) {
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    return now > counts.startedAt ? now - counts.startedAt : 0;
}

std::uint32_t failedOf(const ProviderCounts& provider) { return provider.counts[kov::observe::kFailed]; }
std::uint32_t callsOf(const ProviderCounts& provider) {
    return provider.counts[kov::observe::kAsyncSent] + provider.syncSent();
}

Json providerJson(const ProviderCounts& provider) {
    Json json;
    json["name"] = provider.name;
    json["handle"] = provider.handle;
    json["sets"] = provider.sets;
    json["asyncSent"] = provider.counts[kov::observe::kAsyncSent];
    json["asyncFinished"] = provider.counts[kov::observe::kAsyncFinished];
    json["syncAnswered"] = provider.counts[kov::observe::kSyncAnswered];
    json["syncUnanswered"] = provider.counts[kov::observe::kSyncUnanswered];
    json["confirmBytes"] = provider.counts[kov::observe::kConfirmBytes];
    json["inFlight"] = provider.inFlight();
    json["failed"] = failedOf(provider);
    Json failures = Json::object();
    for (std::uint32_t kind = 0; kind < kov::observe::kFailureKinds; ++kind)
        if (provider.failures[kind] != 0)
            failures[kind + 1 < kov::observe::kFailureKinds ? std::to_string(kind + 1) : "other"] =
                provider.failures[kind];
    json["failuresByStatus"] = failures;
    return json;
}

Json totalsJson(const RegionCounts& counts) {
    Json json;
    json["asyncCalls"] = counts.asyncCalls;
    json["asyncDelivered"] = counts.asyncDelivered;
    json["asyncFailed"] = counts.asyncFailed;
    json["syncCalls"] = counts.syncCalls;
    json["syncDelivered"] = counts.syncCalls >= counts.syncFailed ? counts.syncCalls - counts.syncFailed : 0;
    json["syncFailed"] = counts.syncFailed;
    json["bytesAllocated"] = counts.bytesAllocated;
    json["bytesInUse"] = counts.bytesInUse;
    json["bytesFreed"] = counts.bytesFreed;
    return json;
}

void printRows(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (widths.size() <= c) widths.push_back(0);
            widths[c] = std::max(widths[c], row[c].size());
        }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c] + std::string(widths[c] - row[c].size() + 2, ' ') : row[c];
        std::cout << line << '\n';
    }
    std::cout.flush();
}

int runPs(const Options& options) {
    std::vector<Sample> samples = sampleAll();
    Json list = Json::array();
    std::vector<std::vector<std::string>> rows = {
        {"PID", "PROGRAM", "PROVIDERS", "CALLS", "UPTIME", "STATE"}};
    for (const Sample& sample : samples) {
        // Only a region whose process is gone is removed; a malformed region of a running
        // process is that process's own business.
        const bool removed = options.clean && sample.state == RegionState::Stale &&
                             kov::platform::removeRegion(sample.pid) == 0;
        Json entry;
        entry["pid"] = sample.pid;
        entry["state"] = stateName(sample.state);
        std::string state = stateName(sample.state);
        if (!sample.problem.empty()) {
            entry["problem"] = sample.problem;
            state += ": " + sample.problem;
        }
        if (removed) {
            entry["removed"] = true;
            state += " (removed)";
        }
        const RegionCounts& counts = sample.counts;
        const bool read = sample.state == RegionState::Running ||
                          (sample.state == RegionState::Stale && sample.problem.empty());
        if (read) {
            entry["program"] = counts.program;
            entry["providers"] = counts.providers.size();
            entry["calls"] = counts.calls();
            entry["uptimeSeconds"] = uptimeOf(counts);
        }
        list.push_back(entry);
        rows.push_back({std::to_string(sample.pid), read ? counts.program : "-",
                        read ? std::to_string(counts.providers.size()) : "-",
                        read ? std::to_string(counts.calls()) : "-",
                        read ? std::to_string(uptimeOf(counts)) + "s" : "-", state});
    }
    if (options.json) {
        Json json = beginJson(options.command, 0);
        json["processes"] = list;
        printJson(json);
    } else {
        printRows(rows);
    }
    return kExitOk;
}

int runStatsOf(const Options& options) {
    const Sample sample = sampleOf(options.pid);
    if (sample.state != RegionState::Running)
        return fail("process " + std::to_string(options.pid) + ": region " + stateName(sample.state) +
                    (sample.problem.empty() ? std::string() : ": " + sample.problem));
    const RegionCounts& counts = sample.counts;
    if (options.json) {
        Json json = beginJson(options.command, 0);
        json["pid"] = counts.pid;
        json["program"] = counts.program;
        json["uptimeSeconds"] = uptimeOf(counts);
        json["threads"] = counts.threads;
        json["tracing"] = counts.traceOn != 0;
        json["totals"] = totalsJson(counts);
        json["providers"] = Json::array();
        for (const ProviderCounts& provider : counts.providers)
            json["providers"].push_back(providerJson(provider));
        printJson(json);
        return kExitOk;
    }
    std::cout << "process " << counts.pid << " (" << counts.program << "), up " << uptimeOf(counts)
              << "s, " << counts.threads << " thread(s), tracing " << (counts.traceOn ? "on" : "off")
              << "\n";
    std::vector<std::vector<std::string>> rows;
    const Json totals = totalsJson(counts);
    for (const auto& item : totals.items())
        rows.push_back({item.key(), item.value().dump()});
    printRows(rows);
    std::cout << "\n";
    rows = {{"PROVIDER", "HANDLE", "ASYNC", "SYNC", "IN FLIGHT", "CONFIRM BYTES", "FAILED"}};
    for (const ProviderCounts& provider : counts.providers)
        rows.push_back({provider.name, std::to_string(provider.handle),
                        std::to_string(provider.counts[kov::observe::kAsyncSent]),
                        std::to_string(provider.syncSent()), std::to_string(provider.inFlight()),
                        std::to_string(provider.counts[kov::observe::kConfirmBytes]),
                        std::to_string(failedOf(provider))});
    printRows(rows);
    return kExitOk;
}

// Two samples `intervalMs` apart: each provider's calls and failures per second over it.
Json topSample(const Options& options, std::vector<std::vector<std::string>>& rows) {
    const std::vector<Sample> first = sampleAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(options.intervalMs));
    const double seconds = options.intervalMs > 0 ? options.intervalMs / 1000.0 : 1.0;
    Json list = Json::array();
    rows = {{"PID", "PROGRAM", "PROVIDER", "CALLS/S", "FAILED/S", "IN FLIGHT", "CALLS", "FAILED"}};
    for (const Sample& now : sampleAll()) {
        if (now.state != RegionState::Running) continue;
        const Sample* before = nullptr;
        for (const Sample& s : first)
            if (s.pid == now.pid && s.state == RegionState::Running) before = &s;
        Json process;
        process["pid"] = now.pid;
        process["program"] = now.counts.program;
        process["providers"] = Json::array();
        for (const ProviderCounts& provider : now.counts.providers) {
            std::uint32_t callsBefore = callsOf(provider), failedBefore = failedOf(provider);
            if (before != nullptr)
                for (const ProviderCounts& p : before->counts.providers)
                    if (p.handle == provider.handle) {
                        callsBefore = callsOf(p);
                        failedBefore = failedOf(p);
                    }
            // Differences of 32-bit counters, taken modulo 2^32.
            const double rate = static_cast<std::uint32_t>(callsOf(provider) - callsBefore) / seconds;
            const double failRate = static_cast<std::uint32_t>(failedOf(provider) - failedBefore) / seconds;
            Json entry;
            entry["name"] = provider.name;
            entry["handle"] = provider.handle;
            entry["calls"] = callsOf(provider);
            entry["callsPerSecond"] = rate;
            entry["failed"] = failedOf(provider);
            entry["failedPerSecond"] = failRate;
            entry["inFlight"] = provider.inFlight();
            process["providers"].push_back(entry);
            char rateText[32], failText[32];
            std::snprintf(rateText, sizeof rateText, "%.1f", rate);
            std::snprintf(failText, sizeof failText, "%.1f", failRate);
            rows.push_back({std::to_string(now.pid), now.counts.program, provider.name, rateText,
                            failText, std::to_string(provider.inFlight()),
                            std::to_string(callsOf(provider)), std::to_string(failedOf(provider))});
        }
        list.push_back(process);
    }
    return list;
}

int runTop(const Options& options) {
    std::vector<std::vector<std::string>> rows;
    // One view; the refreshing one clears the screen before each.
    const auto show = [&](bool clear) {
        const Json list = topSample(options, rows);
        if (options.json) {
            Json json = beginJson(options.command, 0);
            json["intervalMs"] = options.intervalMs;
            json["processes"] = list;
            printJson(json);
            return;
        }
        if (clear) std::cout << "\x1b[H\x1b[2J";
        printRows(rows);
    };
    if (options.once) {
        show(false);
        return kExitOk;
    }
    for (;;) show(true); // until interrupted
}

int runTrace(const Options& options) {
    kov::platform::MappedRegion region;
    const Sample sample = sampleOf(options.pid);
    if (sample.state != RegionState::Running)
        return fail("process " + std::to_string(options.pid) + ": region " + stateName(sample.state) +
                    (sample.problem.empty() ? std::string() : ": " + sample.problem));
    const long error = kov::platform::openRegion(options.pid, true, kMaxRegionBytes, region);
    if (error != 0) return fail("cannot open the region of process " + std::to_string(options.pid) +
                                ": " + kov::platform::errorText(error));
    // Checked as copied above; the live region is only written at fixed offsets of that layout.
    const bool wasOn = sample.counts.traceOn != 0;
    if (!wasOn) kov::observe::setTracing(region.memory, true);
    std::vector<kov::observe::TraceRecord> records;
    std::uint64_t dropped = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    while (records.size() < options.count && std::chrono::steady_clock::now() < deadline) {
        std::uint64_t lost = 0;
        for (const auto& record : kov::observe::takeTraceRecords(region.memory, options.count - records.size(), lost))
            records.push_back(record);
        dropped += lost;
        if (records.size() < options.count) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!wasOn) kov::observe::setTracing(region.memory, false);
    kov::platform::closeRegion(region);
    const bool complete = records.size() >= options.count;
    const std::string shortfall = "only " + std::to_string(records.size()) + " of " +
                                  std::to_string(options.count) + " request(s) came within --timeout";
    if (options.json) {
        Json json = beginJson(options.command, 0);
        if (!complete) {
            json["error"] = shortfall;
            json["exitCode"] = kExitFailure;
        }
        json["pid"] = options.pid;
        json["dropped"] = dropped;
        json["requests"] = Json::array();
        for (const auto& r : records)
            json["requests"].push_back({{"timeUs", r.time}, {"thread", r.thread}, {"kind", r.kind == 2 ? "sync" : "async"},
                                        {"handle", r.handle}, {"set", r.set}, {"code", r.code},
                                        {"status", r.status}, {"requestBytes", r.requestBytes},
                                        {"confirmBytes", r.confirmBytes}, {"latencyUs", r.latency}});
        printJson(json);
    } else {
        std::vector<std::vector<std::string>> rows = {{"TIME_US", "THREAD", "KIND", "HANDLE", "SET", "CODE",
                                                       "STATUS", "REQ_BYTES", "CONF_BYTES", "LATENCY_US"}};
        for (const auto& r : records)
            rows.push_back({std::to_string(r.time), std::to_string(r.thread), r.kind == 2 ? "sync" : "async",
                            std::to_string(r.handle), std::to_string(r.set), std::to_string(r.code),
                            std::to_string(r.status), std::to_string(r.requestBytes),
                            std::to_string(r.confirmBytes), std::to_string(r.latency)});
        printRows(rows);
        if (dropped != 0) std::cout << dropped << " request(s) dropped: their thread's ring was full\n";
    }
    if (complete) return kExitOk;
    if (!options.json) std::cerr << "kovctl: " << shortfall << std::endl;
    return kExitFailure;
}

} // namespace

int runObserve(const Options& options) {
    switch (options.command) {
    case Command::Ps: return runPs(options);
    case Command::Top: return runTop(options);
    case Command::Trace: return runTrace(options);
    default: return runStatsOf(options);
    }
}

} // namespace kovctl
