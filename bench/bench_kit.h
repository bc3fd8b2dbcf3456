// What the benchmark programs share: the broker module loaded as a caller loads it, over a
// provider list of their own; the operations they measure; and the requests they send. The
// timing programs (Google Benchmark on Linux, plain loops everywhere) and the instruction count
// (callgrind) differ only in how they measure. Everything goes through the module's three
// exports and the providers' own entries, so the figures are what a caller pays and the
// benchmarks do not depend on the broker's internals.
#pragma once

#include <kov/kov_broker.h>

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Copies of the benchmark provider (bench_provider.cpp): separate libraries with their own state,
// copy i serving set kFirstProviderSet + i.
constexpr unsigned kLibraries = 4;
constexpr unsigned kManyProviders = 10000;
constexpr std::uint32_t kFirstProviderSet = 0x100;
// Never handed out: the broker's handles name records it has loaded.
constexpr ProviderHandle kUnknownHandle = 0x7FFFFFF0;

using SendFn = std::int32_t(KOV_CALL*)(BrokerMessage*);
using SendSyncFn = std::int32_t(KOV_CALL*)(BrokerMessage*, BrokerMessage**);
using DeleteConfirmFn = std::int32_t(KOV_CALL*)(BrokerMessage*);

struct Exports {
    SendFn send = nullptr;
    SendSyncFn sendSync = nullptr;
    DeleteConfirmFn deleteConfirm = nullptr;
};

// One request; its callback (kov_bench_KeepConfirm) keeps the confirm here, and the operation
// then releases it.
struct Request {
    std::uint32_t words[16] = {};
    BrokerMessage* confirm = nullptr;
    BrokerMessage* message() { return reinterpret_cast<BrokerMessage*>(words); }
};

// Where an operation goes: the broker's exports with a provider handle and function, or the
// entries of a provider library for the direct call.
struct Target {
    const Exports* broker = nullptr;
    ProviderHandle provider = 0;
    std::uint32_t set = 0;
    std::uint32_t code = 0;
    KovReceiveFn receive = nullptr;
    KovDeleteReceiveFn deleteReceive = nullptr;
};

// One request and the release of its confirm; false when that went wrong (the figure is then
// worthless, and the programs stop and say so).
using Operation = bool (*)(Request& request, const Target& target);
bool directCall(Request& request, const Target& target);        // kov_Receive + kov_DeleteReceive
bool sendAndDelete(Request& request, const Target& target);     // kov_Send + kov_DeleteConfirm
bool sendSyncAndDelete(Request& request, const Target& target); // kov_SendSync + kov_DeleteConfirm

// Fills `request` for `target` (callback and callbackData included).
void prepare(Request& request, const Target& target);

// The caller's callback of every request: keeps the confirm in its Request. Named, so that the
// instruction count can leave it out.
extern "C" std::int32_t KOV_CALL kov_bench_KeepConfirm(BrokerMessage* confirm);

std::string libraryPath(unsigned library);

// The machine's registry redirected, for this process and the processes it starts, to a
// scratch one holding `keys` provider keys, key i naming library i % libraries (each key is a
// record of its own: 10,000 keys over 4 files are 10,000 providers). Deleted again on
// destruction.
class ProviderList {
public:
    ProviderList(const char* tag, unsigned libraries, unsigned keys);
    ~ProviderList();
    ProviderList(const ProviderList&) = delete;
    ProviderList& operator=(const ProviderList&) = delete;
    bool written() const { return written_; }

private:
    bool written_ = false;
};

// The broker module loaded over the current machine registry, the providers loaded by a first
// request (ListSubsystems, which also gives their handles), and the provider libraries opened
// for direct calls. Freed on destruction (the module detaches).
class LoadedBroker {
public:
    LoadedBroker(unsigned libraries, unsigned keys);
    ~LoadedBroker();
    LoadedBroker(const LoadedBroker&) = delete;
    LoadedBroker& operator=(const LoadedBroker&) = delete;

    bool ready() const { return ready_; }
    // Library i: its first record in the list (set kFirstProviderSet + i) and its entries.
    const Target& library(unsigned i) const { return libraries_[i]; }
    // The record farthest down the list (the first key loaded), with its library's entries.
    const Target& farthest() const { return farthest_; }
    // Handle 0: the broker's own provider.
    Target brokerProvider(std::uint32_t set, std::uint32_t code) const;
    Target unknownHandle() const;

private:
    bool findHandles(unsigned libraries, unsigned keys);

    Exports exports_;
    kov::platform::ModuleHandle module_ = nullptr;
    std::vector<kov::platform::ModuleHandle> opened_;
    std::vector<Target> libraries_;
    Target farthest_;
    bool ready_ = false;
};

} // namespace bench
