// What one send costs, with few and with many providers loaded: the lookup by handle must not
// grow with the list. Run: build/linux/bin/kov_send_bench
#include "dispatch/send.h"
#include "platform/platform.h"
#include "runtime/process.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::int32_t KOV_CALL dropConfirm(BrokerMessage*) { return 0; }

// Registers the test provider under `providers` keys, then attaches and loads.
void loadProviders(int providers) {
    using namespace kov::platform;
    testing::useScratchRegistry(("bench_" + std::to_string(providers)).c_str());
    RegKey broker = nullptr, list = nullptr;
    createKey(localMachineKey(), "Software\\KOV_Broker", nullptr, &broker, nullptr);
    createKey(broker, "Provider List", nullptr, &list, nullptr);
    for (int i = 0; i < providers; ++i) {
        RegKey key = nullptr;
        createKey(list, ("p" + std::to_string(100000 + i)).c_str(), nullptr, &key, nullptr);
        setDwordValue(key, KOV_BENCH_PROVIDER, 0);
        closeKey(key);
    }
    closeKey(list);
    closeKey(broker);
    kov::runtime::processAttach(nullptr);
    kov::runtime::ensureLoaded();
}

// The provider loaded first sits at the far end of the list: the last descriptor of a
// ListSubsystems reply, whose first entry carries its handle.
ProviderHandle farthestHandle() {
    std::vector<std::uint8_t> reply;
    struct Capture {
        static std::int32_t KOV_CALL keep(BrokerMessage* confirm) {
            auto* out = static_cast<std::vector<std::uint8_t>*>(confirm->callbackData);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(confirm);
            out->assign(bytes, bytes + confirm->totalLength);
            return 0;
        }
    };
    BrokerMessage request{};
    request.totalLength = 44;
    request.formatMajor = 1;
    request.headerLength = 44;
    request.setMajor = 1;
    request.callback = Capture::keep;
    request.callbackData = &reply;
    kov::dispatch::send(&request);
    std::uint32_t at = 44 + 20;
    std::uint32_t step;
    while (std::memcpy(&step, reply.data() + at, 4), step != 0) at += step;
    ProviderHandle handle;
    std::memcpy(&handle, reply.data() + at + 60 + 16, 4);
    return handle;
}

void sendToFarthestProvider(benchmark::State& state) {
    loadProviders(static_cast<int>(state.range(0)));
    const ProviderHandle handle = farthestHandle();
    std::vector<std::uint32_t> buffer(16, 0);
    auto* request = reinterpret_cast<BrokerMessage*>(buffer.data());
    for (auto _ : state) {
        request->totalLength = 44;
        request->formatMajor = 1;
        request->headerLength = 44;
        request->provider = handle;
        request->functionSet = 0x100;
        request->setMajor = 1;
        request->callback = dropConfirm;
        benchmark::DoNotOptimize(kov::dispatch::send(request));
    }
    kov::runtime::processDetach(false);
    kov::platform::testing::dropScratchRegistry();
}

BENCHMARK(sendToFarthestProvider)->Arg(1)->Arg(64)->Arg(512);

void fillRequest(BrokerMessage* request, ProviderHandle handle, std::uint32_t set) {
    request->totalLength = 44;
    request->formatMajor = 1;
    request->headerLength = 44;
    request->provider = handle;
    request->functionSet = set;
    request->setMajor = 1;
    request->callback = dropConfirm;
}

// The baseline: the provider's own entries called directly, as a caller without the broker would.
void directCall(benchmark::State& state) {
    const kov::platform::ModuleHandle module = kov::platform::loadLibrary(KOV_BENCH_PROVIDER);
    const auto receive =
        reinterpret_cast<KovReceiveFn>(kov::platform::findSymbol(module, "kov_Receive"));
    std::vector<std::uint32_t> buffer(16, 0);
    auto* request = reinterpret_cast<BrokerMessage*>(buffer.data());
    for (auto _ : state) {
        fillRequest(request, 1, 0x100);
        benchmark::DoNotOptimize(receive(request));
    }
    kov::platform::freeLibrary(module);
}
BENCHMARK(directCall);

void sendSyncToProvider(benchmark::State& state) {
    loadProviders(1);
    const ProviderHandle handle = farthestHandle();
    std::vector<std::uint32_t> buffer(16, 0);
    auto* request = reinterpret_cast<BrokerMessage*>(buffer.data());
    for (auto _ : state) {
        fillRequest(request, handle, 0x100);
        BrokerMessage* confirm = nullptr;
        benchmark::DoNotOptimize(kov::dispatch::sendSync(request, &confirm));
        kov::dispatch::deleteConfirm(confirm);
    }
    kov::runtime::processDetach(false);
    kov::platform::testing::dropScratchRegistry();
}
BENCHMARK(sendSyncToProvider);

void sendToUnknownHandle(benchmark::State& state) {
    loadProviders(1);
    std::vector<std::uint32_t> buffer(16, 0);
    auto* request = reinterpret_cast<BrokerMessage*>(buffer.data());
    for (auto _ : state) {
        fillRequest(request, 0x7FFFFFF0, 0x100);
        benchmark::DoNotOptimize(kov::dispatch::send(request));
    }
    kov::runtime::processDetach(false);
    kov::platform::testing::dropScratchRegistry();
}
BENCHMARK(sendToUnknownHandle);

} // namespace

BENCHMARK_MAIN();
