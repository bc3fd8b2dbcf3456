// Integration harness: the real broker module loaded and freed per test as a caller does it, the
// machine's provider list, real provider libraries, and readers for the broker's replies.
#pragma once

#include "support/messages.h"

#include "platform/platform.h"

#include "providers/provider_counters.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kov::integration {

using SendFn = std::int32_t(KOV_CALL*)(BrokerMessage*);
using SendSyncFn = std::int32_t(KOV_CALL*)(BrokerMessage*, BrokerMessage**);
using DeleteConfirmFn = std::int32_t(KOV_CALL*)(BrokerMessage*);

// The module with its three exports; loading attaches it, destruction frees it (detach).
struct BrokerModule {
    BrokerModule();
    ~BrokerModule();
    BrokerModule(const BrokerModule&) = delete;
    BrokerModule& operator=(const BrokerModule&) = delete;

    platform::ModuleHandle handle = nullptr;
    SendFn send = nullptr;
    SendSyncFn sendSync = nullptr;
    DeleteConfirmFn deleteConfirm = nullptr;
};

// A test provider library loaded by the test itself: the same instance the broker loads by that
// path, so its counters show what the broker did with it.
class ProviderLibrary {
public:
    explicit ProviderLibrary(const std::string& path);
    ~ProviderLibrary();
    ProviderLibrary(const ProviderLibrary&) = delete;
    ProviderLibrary& operator=(const ProviderLibrary&) = delete;

    bool loaded() const { return counters_ != nullptr; }
    KovProviderCounters counters() const { return *counters_; }

private:
    platform::ModuleHandle module_;
    KovProviderCounters* counters_ = nullptr;
};

std::string providerPath(const char* name);

// ---- the machine's provider list ("Software\KOV_Broker\Provider List")
void clearProviderKeys();
void writeProviderKey(const std::string& key, const std::vector<std::string>& paths);
std::vector<std::string> providerKeys();
struct RegistryValue {
    std::string name;
    std::uint32_t data;
};
std::vector<RegistryValue> providerKeyValues(const std::string& key);

// ---- ListSubsystems replies
struct SetEntry {
    std::uint32_t functionSet;
    std::uint16_t major, minor;
    ProviderHandle provider;
};
struct Subsystem {
    std::uint32_t step; // the descriptor's first u32: bytes to the next one, 0 on the last
    std::string product;
    std::vector<SetEntry> sets;
};
// Walks the reply with every read checked against its length (failures are reported).
std::vector<Subsystem> parseList(const std::vector<std::uint8_t>& confirm);
// The handle serving `functionSet`, 0 when no listed provider serves it.
ProviderHandle handleServing(const std::vector<Subsystem>& list, std::uint32_t functionSet);

// Payload of a RegisterProvider request: 16 unused bytes, operation, both item offsets, items.
std::vector<std::uint8_t> registrationPayload(std::uint32_t operation, const std::string& key,
                                              const std::string& path);

std::vector<std::uint8_t> bytesOf(const BrokerMessage* message);

// Fresh provider list and a freshly loaded module per test; the module is freed afterwards.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // kov_SendSync, then a copy of the confirm, which is released at once (expected result 0).
    // Empty when no confirm came back.
    std::vector<std::uint8_t> call(test::Request& request);
    std::vector<Subsystem> list();
    // The status of the registration reply.
    std::uint32_t registerProvider(std::uint32_t operation, const std::string& key,
                                   const std::string& path);

    std::unique_ptr<BrokerModule> module_;
};

// The module loaded with `Generations` generations per synchronous-call entry (a test hook), so
// that a call's token comes round again within a test, as it does after 4,194,304 calls of one
// entry otherwise.
template <int Generations> class FewGenerationsTest : public ModuleTest {
protected:
    void SetUp() override {
        platform::testing::setEnvironmentValue(kHook, std::to_string(Generations).c_str());
        ModuleTest::SetUp();
    }
    void TearDown() override {
        ModuleTest::TearDown();
        platform::testing::setEnvironmentValue(kHook, nullptr);
    }

private:
    static constexpr const char* kHook = "KOV_BROKER_TEST_SYNC_GENERATIONS";
};

} // namespace kov::integration
