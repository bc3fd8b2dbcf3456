#include "bench_kit.h"

#include "dispatch/send.h"
#include "platform/platform.h"
#include "registry/provider_list.h"
#include "runtime/guard.h"
#include "runtime/process.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace bench {
namespace {

// Never handed out: handles count up from 1 for the life of the process.
constexpr ProviderHandle kUnknownHandle = 0x7FFFFFF0;
constexpr std::uint32_t kProviderSet = 0x100; // what kov_test_immediate serves

std::string libraryPath(unsigned library) {
    return kov::platform::programDirectory() + "kov_bench_provider_" + std::to_string(library) +
           KOV_BENCH_LIB_SUFFIX;
}

std::int32_t KOV_CALL keepConfirm(BrokerMessage* confirm) {
    if (confirm != nullptr) static_cast<Request*>(confirm->callbackData)->confirm = confirm;
    return 1;
}

bool writeRegistry(unsigned libraries, unsigned keys) {
    using namespace kov::platform;
    RegKey broker = nullptr, list = nullptr;
    if (createKey(localMachineKey(), "Software\\KOV_Broker", nullptr, &broker, nullptr) != kRegOk)
        return false;
    bool written = createKey(broker, "Provider List", nullptr, &list, nullptr) == kRegOk;
    for (unsigned i = 0; written && i < keys; ++i) {
        RegKey key = nullptr;
        // Zero-padded, so the registry walk (in name order) loads library 0 first.
        char name[16];
        std::snprintf(name, sizeof name, "p%06u", i);
        written = createKey(list, name, nullptr, &key, nullptr) == kRegOk &&
                  setDwordValue(key, libraryPath(i % libraries).c_str(), 0) == kRegOk;
        if (key != nullptr) closeKey(key);
    }
    if (list != nullptr) closeKey(list);
    closeKey(broker);
    return written;
}

// The broker attached and loaded over a scratch registry of `keys` provider keys, key i naming
// library i % libraries. A library named by several keys gets one record per key (the loader
// counts references), so 10,000 keys over 4 files are 10,000 providers.
class LoadedBroker {
public:
    LoadedBroker(unsigned libraries, unsigned keys) {
        const std::string tag = "bench_" + std::to_string(keys);
        kov::platform::testing::useScratchRegistry(tag.c_str());
        if (!writeRegistry(libraries, keys)) {
            std::fprintf(stderr, "bench: cannot write the scratch registry\n");
            return;
        }
        if (!kov::runtime::processAttach(nullptr)) return;
        attached_ = true;
        kov::runtime::ensureLoaded();
        for (unsigned i = 0; i < libraries; ++i) {
            const std::string path = libraryPath(i);
            Target target;
            target.set = kProviderSet;
            target.provider = farthestRecordOf(kov::platform::findLoadedModule(path.c_str()));
            module_.push_back(kov::platform::loadLibrary(path.c_str()));
            target.receive = reinterpret_cast<KovReceiveFn>(
                kov::platform::findSymbol(module_.back(), "kov_Receive"));
            target.deleteReceive = reinterpret_cast<KovDeleteReceiveFn>(
                kov::platform::findSymbol(module_.back(), "kov_DeleteReceive"));
            if (target.provider == 0 || target.receive == nullptr || target.deleteReceive == nullptr) {
                std::fprintf(stderr, "bench: %s is not loaded as a provider\n", path.c_str());
                return;
            }
            targets_.push_back(target);
        }
        if (records_ != keys + 1) {
            std::fprintf(stderr, "bench: %u records loaded for %u keys\n", records_, keys);
            return;
        }
        ready_ = true;
    }

    ~LoadedBroker() {
        for (kov::platform::ModuleHandle module : module_)
            if (module != nullptr) kov::platform::freeLibrary(module);
        if (attached_) kov::runtime::processDetach(false);
        kov::platform::testing::dropScratchRegistry();
    }

    LoadedBroker(const LoadedBroker&) = delete;
    LoadedBroker& operator=(const LoadedBroker&) = delete;

    bool ready() const { return ready_; }
    const Target& library(unsigned i) const { return targets_[i]; }

private:
    // The list holds the broker provider first, then the libraries in the reverse of their
    // loading order: the last record of a module is the one loaded first.
    ProviderHandle farthestRecordOf(kov::platform::ModuleHandle module) {
        const kov::runtime::Guard guard;
        ProviderHandle found = 0;
        records_ = 0;
        for (const kov::registry::ProviderRecord* r : kov::registry::listedProviders(guard)) {
            ++records_;
            if (module != nullptr && r->module == module) found = r->handle;
        }
        return found;
    }

    std::vector<Target> targets_;
    std::vector<kov::platform::ModuleHandle> module_;
    unsigned records_ = 0;
    bool attached_ = false;
    bool ready_ = false;
};

bool directCall(Request& request, const Target& target) {
    request.confirm = nullptr;
    if (target.receive(request.message()) != 0 || request.confirm == nullptr) return false;
    return target.deleteReceive(request.confirm) == 0;
}

bool sendAndDelete(Request& request, const Target&) {
    request.confirm = nullptr;
    kov::dispatch::send(request.message());
    return request.confirm != nullptr && kov::dispatch::deleteConfirm(request.confirm) == 0;
}

bool sendSyncAndDelete(Request& request, const Target&) {
    BrokerMessage* confirm = nullptr;
    kov::dispatch::sendSync(request.message(), &confirm);
    return confirm != nullptr && kov::dispatch::deleteConfirm(confirm) == 0;
}

Measurement single(const char* name, Operation operation, const Target& target) {
    return {name, operation, {target}, 1, false};
}

std::string threaded(const char* base, unsigned threads) {
    return std::string(base) + "_x" + std::to_string(threads);
}

bool measureGroup(MeasureGroup measure, unsigned libraries, unsigned keys,
                  std::vector<Measurement> (*build)(const LoadedBroker&),
                  std::map<std::string, double>& figures) {
    std::fprintf(stderr, "bench: loading %u providers...\n", keys);
    const auto start = std::chrono::steady_clock::now();
    const LoadedBroker broker(libraries, keys);
    if (!broker.ready()) return false;
    std::fprintf(stderr, "bench: registry written and providers loaded in %.1f s\n",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    measure(build(broker), figures);
    return true;
}

std::vector<Measurement> onePath(const LoadedBroker& broker) {
    const Target& provider = broker.library(0);
    Target brokerProvider;
    brokerProvider.set = KOV_BROKER_FUNCTION_SET;
    brokerProvider.code = KOV_FN_GET_BROKER_INFO;
    Target unknown = provider;
    unknown.provider = kUnknownHandle;
    return {single("direct", directCall, provider),
            single("send", sendAndDelete, provider),
            single("send_sync", sendSyncAndDelete, provider),
            single("broker_provider", sendAndDelete, brokerProvider),
            single("unknown_handle", sendAndDelete, unknown)};
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
    // The direct call again, to show how far the machine drifted since the first group.
    return {single("direct_many", directCall, broker.library(0)),
            single("send_many", sendAndDelete, broker.library(0))};
}

struct Ratio {
    const char* over;
    const char* under;
    const char* meaning;
    const char* target; // empty: none
};

void printRatio(const std::map<std::string, double>& figures, const Ratio& ratio) {
    const auto over = figures.find(ratio.over);
    const auto under = figures.find(ratio.under);
    if (over == figures.end() || under == figures.end() || under->second <= 0) return;
    std::printf("  %-42s %7.2fx  %s%s%s\n", (std::string(ratio.over) + " / " + ratio.under).c_str(),
                over->second / under->second, ratio.meaning, ratio.target[0] ? "; target " : "",
                ratio.target);
}

} // namespace

void prepare(Request& request, const Target& target) {
    BrokerMessage* const message = request.message();
    message->totalLength = KOV_HEADER_SIZE;
    message->formatMajor = KOV_FORMAT_MAJOR;
    message->headerLength = KOV_HEADER_SIZE;
    message->provider = target.provider;
    message->functionSet = target.set;
    message->setMajor = 1;
    message->functionCode = target.code;
    message->callback = keepConfirm;
    message->callbackData = &request;
}

bool measureAll(MeasureGroup measure, std::map<std::string, double>& figures) {
    return measureGroup(measure, 1, 1, onePath, figures) &&
           measureGroup(measure, kLibraries, kLibraries, threads, figures) &&
           measureGroup(measure, kLibraries, kManyProviders, manyProviders, figures);
}

void printReport(const std::map<std::string, double>& figures) {
    std::printf("\nFigures (one request and the release of its confirm each):\n");
    for (const auto& figure : figures) {
        const std::string& name = figure.first;
        const char* unit = name.find(kPerCpuSuffix) != std::string::npos
                               ? "operations per processor-second, all threads"
                           : name.find("_x") != std::string::npos
                               ? "operations/s over all threads"
                               : "ns of processor time per operation";
        std::printf("  %-26s %14.1f %s\n", name.c_str(), figure.second, unit);
    }
    std::printf("\nRatios to the direct call (time per operation):\n");
    const Ratio times[] = {
        {"send", "direct", "kov_Send + kov_DeleteConfirm", "<= 2.0x"},
        {"send_sync", "direct", "kov_SendSync + kov_DeleteConfirm", ""},
        {"send_sync", "send", "kov_SendSync against kov_Send", "<= 1.5x"},
        {"broker_provider", "direct", "handle 0 (GetBrokerInfo)", ""},
        {"unknown_handle", "direct", "unknown handle: the broker's error confirm", ""},
        {"send_many", "send", "10,000 providers loaded against 1", "<= 1.1x"},
        {"direct_many", "direct", "the direct call, same two groups (machine drift)", ""},
    };
    for (const Ratio& ratio : times) printRatio(figures, ratio);
    std::printf("\nThread scaling (throughput against 1 thread; wall time, then processor time:\n"
                "the second stays near 1.0x when threads do not slow one another down):\n");
    for (const char* base : {"send_one", "send_separate", "direct_one", "direct_separate"}) {
        const bool one = std::string(base).find("_one") != std::string::npos;
        for (const char* suffix : {"", kPerCpuSuffix}) {
            for (unsigned n : kThreadCounts) {
                if (n == 1) continue;
                const std::string over = threaded(base, n) + suffix;
                const std::string under = threaded(base, 1) + suffix;
                const bool targeted = n == 2 && base[0] == 's' && suffix[0] == '\0';
                printRatio(figures, {over.c_str(), under.c_str(),
                                     one ? "one provider" : "separate providers",
                                     targeted ? ">= 1.7x" : ""});
            }
        }
    }
}

} // namespace bench
