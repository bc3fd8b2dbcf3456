// A process that may read the registry but not write it (HKEY_LOCAL_MACHINE for a program without
// administrator rights, a root-owned registry file for a user): it loads every listed provider,
// and registration and removal answer STATUS_REGISTRY_ERROR without changing anything.
#include "support/broker_fixture.h"
#include "support/provider_probe.h"

#include "registry/provider_loading.h"
#include "registry/registration.h"

#include <string>
#include <vector>

namespace kov::test {
namespace {

constexpr std::uint32_t kRegistryError = 8; // STATUS_REGISTRY_ERROR
constexpr std::uint32_t kRegister = 1;
constexpr std::uint32_t kRemove = 0;

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The provider keys and their libraries, as anyone may read them.
std::vector<std::string> registryEntries() {
    std::vector<std::string> entries;
    platform::RegKey list = nullptr;
    if (platform::openKey(platform::localMachineKey(), "Software\\KOV_Broker\\Provider List",
                          &list) != platform::kRegOk)
        return entries;
    char key[300];
    for (std::uint32_t k = 0; platform::enumKey(list, k, key, sizeof key) == platform::kRegOk; ++k) {
        platform::RegKey provider = nullptr;
        if (platform::openKey(list, key, &provider) != platform::kRegOk) continue;
        char value[400];
        std::uint8_t data[8];
        for (std::uint32_t v = 0; platform::enumValue(provider, v, value, sizeof value, data,
                                                      sizeof data) == platform::kRegOk;
             ++v)
            entries.push_back(std::string(key) + "=" + value);
        platform::closeKey(provider);
    }
    platform::closeKey(list);
    return entries;
}

class WriteAccessTest : public BrokerTest {
protected:
    const std::string immediate = providerPath("kov_test_immediate");
    const std::string three = providerPath("kov_test_three_sets");
};

TEST_F(WriteAccessTest, WithoutWriteRightsEveryListedProviderLoads) {
    registerInRegistry("Immediate", {immediate});
    registerInRegistry("Three", {three});
    faults::denyRegistryWrites(true);
    loadProviders();
    const std::vector<std::uint32_t> loaded{0, 0x401, 0x100}; // broker, then the last loaded
    EXPECT_EQ(loaded, listedFunctionSets());
    EXPECT_EQ(2u + 1u + 3u, statistics().setCount);
    ASSERT_TRUE(registry::reloadProviders());
    EXPECT_EQ(loaded, listedFunctionSets());
    EXPECT_EQ((std::vector<std::string>{"Immediate=" + immediate, "Three=" + three}),
              registryEntries());
}

TEST_F(WriteAccessTest, WithoutWriteRightsRegistrationAndRemovalChangeNothing) {
    registerInRegistry("Immediate", {immediate});
    loadProviders();
    const std::uint32_t before = bytesInUse();
    faults::denyRegistryWrites(true);
    EXPECT_EQ(kRegistryError,
              registry::updateRegistration(u"Three", wide(three).c_str(), kRegister));
    EXPECT_EQ(kRegistryError,
              registry::updateRegistration(u"Immediate", wide(immediate).c_str(), kRemove));
    EXPECT_EQ((std::vector<std::uint32_t>{0, 0x100}), listedFunctionSets());
    EXPECT_EQ(std::vector<std::string>{"Immediate=" + immediate}, registryEntries());
    EXPECT_FALSE(libraryLoaded(three));
    EXPECT_EQ(before, bytesInUse());

    faults::denyRegistryWrites(false); // an administrator, or the rights granted
    EXPECT_EQ(0u, registry::updateRegistration(u"Immediate", wide(immediate).c_str(), kRemove));
    EXPECT_TRUE(registryEntries().empty());
}

} // namespace
} // namespace kov::test
