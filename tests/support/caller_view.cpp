#include "support/caller_view.h"

#include "dispatch/send.h"
#include "platform/faults.h"

namespace kov::test {

std::int32_t releaseThroughLibrary(const LibraryProbe& library, BrokerMessage* block) {
    const auto deleteReceive = reinterpret_cast<KovDeleteReceiveFn>(
        platform::findSymbol(library.module(), "kov_DeleteReceive"));
    return deleteReceive != nullptr ? deleteReceive(block) : -1;
}

::testing::AssertionResult sendForConfirm(Request& request, std::vector<std::uint8_t>* confirm) {
    ConfirmCollector collector(0);
    collector.use(request.get());
    const std::int32_t result = dispatch::send(request.get());
    if (result != 0) return ::testing::AssertionFailure() << "send answered " << result;
    if (collector.count() != 1)
        return ::testing::AssertionFailure() << collector.count() << " confirms instead of 1";
    *confirm = collector.deliveries()[0].bytes;
    if (confirm->empty()) return ::testing::AssertionFailure() << "null confirm";
    return ::testing::AssertionSuccess();
}

std::vector<ListedSet> listedSets() {
    Request request(0, 0, KOV_FN_LIST_SUBSYSTEMS);
    std::vector<std::uint8_t> reply;
    std::vector<ListedSet> sets;
    EXPECT_TRUE(sendForConfirm(request, &reply));
    if (reply.size() < 64) return sets;
    const std::uint8_t* payload = reply.data() + 44;
    const std::uint32_t count = u32(payload, 16);
    std::uint32_t at = 20;
    for (std::uint32_t d = 0; d < count && at + 60 <= reply.size() - 44; ++d) {
        std::uint32_t entry = at + 60;
        for (std::uint32_t s = 0; s < u32(payload, at + 56); ++s) {
            sets.push_back({u32(payload, entry + 8), u32(payload, entry + 16), d});
            entry += u32(payload, entry);
        }
        at += u32(payload, at);
    }
    return sets;
}

ProviderHandle handleServing(std::uint32_t functionSet) {
    for (const ListedSet& set : listedSets())
        if (set.functionSet == functionSet) return set.provider;
    return 0;
}

std::uint32_t descriptorsListed() {
    Request request(0, 0, KOV_FN_LIST_SUBSYSTEMS);
    std::vector<std::uint8_t> reply;
    EXPECT_TRUE(sendForConfirm(request, &reply));
    return reply.size() >= 64 ? u32(reply.data(), 44 + 16) : 0;
}

namespace {

// Closes on scope exit.
struct OpenKey {
    platform::RegKey handle = nullptr;
    OpenKey(platform::RegKey parent, const char* name) {
        if (platform::createKey(parent, name, nullptr, &handle, nullptr) != platform::kRegOk)
            handle = nullptr;
    }
    ~OpenKey() {
        if (handle != nullptr) platform::closeKey(handle);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
};

} // namespace

ProviderKeys providerKeys() {
    ProviderKeys keys;
    const OpenKey broker(platform::localMachineKey(), "Software\\KOV_Broker");
    if (broker.handle == nullptr) return keys;
    const OpenKey list(broker.handle, "Provider List");
    if (list.handle == nullptr) return keys;
    char name[300];
    for (std::uint32_t k = 0; platform::enumKey(list.handle, k, name, sizeof name) == platform::kRegOk; ++k) {
        auto& values = keys[name];
        const OpenKey provider(list.handle, name);
        char valueName[400];
        // Filled first, so a value shorter than 4 bytes shows.
        std::uint8_t data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        for (std::uint32_t v = 0; platform::enumValue(provider.handle, v, valueName, sizeof valueName,
                                                      data, sizeof data) == platform::kRegOk;
             ++v) {
            values.emplace_back(valueName, std::vector<std::uint8_t>(data, data + 4));
            std::memset(data, 0xEE, sizeof data);
        }
    }
    return keys;
}

::testing::AssertionResult sendWithoutMemory(Request& request, const ConfirmCollector& collector,
                                             std::uint32_t status) {
    faults::failNth(faults::Fault::GlobalAlloc, 1);
    const std::int32_t result = dispatch::send(request.get());
    faults::clear();
    if (result != 0) return ::testing::AssertionFailure() << "send returned " << result;
    const auto deliveries = collector.deliveries();
    if (deliveries.size() != 1)
        return ::testing::AssertionFailure() << deliveries.size() << " deliveries instead of one";
    if (deliveries[0].confirm != nullptr)
        return ::testing::AssertionFailure() << "a confirm instead of null";
    if (request->status != status)
        return ::testing::AssertionFailure() << "request status " << request->status;
    return ::testing::AssertionSuccess();
}

} // namespace kov::test
