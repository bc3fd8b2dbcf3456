#include "integration/module_harness.h"

namespace kov::integration {
namespace {

using test::u16;
using test::u32;

template <typename Fn>
Fn symbol(platform::ModuleHandle module, const char* name) {
    return reinterpret_cast<Fn>(platform::findSymbol(module, name));
}

// An open registry key, closed when it goes out of scope.
struct Key {
    platform::RegKey key = nullptr;
    ~Key() {
        if (key != nullptr) platform::closeKey(key);
    }
};

// Opens (creating when missing) "Software\KOV_Broker\Provider List".
void openProviderList(Key& broker, Key& list) {
    ASSERT_EQ(platform::createKey(platform::localMachineKey(), "Software\\KOV_Broker", nullptr,
                                  &broker.key, nullptr),
              platform::kRegOk);
    ASSERT_EQ(platform::createKey(broker.key, "Provider List", nullptr, &list.key, nullptr),
              platform::kRegOk);
}

} // namespace

BrokerModule::BrokerModule() : handle(platform::loadLibrary(KOV_TEST_DIR KOV_TEST_MODULE_FILE)) {
    if (handle == nullptr) return;
    send = symbol<SendFn>(handle, "kov_Send");
    sendSync = symbol<SendSyncFn>(handle, "kov_SendSync");
    deleteConfirm = symbol<DeleteConfirmFn>(handle, "kov_DeleteConfirm");
}

BrokerModule::~BrokerModule() {
    if (handle != nullptr) platform::freeLibrary(handle);
}

ProviderLibrary::ProviderLibrary(const std::string& path) : module_(platform::loadLibrary(path.c_str())) {
    if (module_ == nullptr) return;
    const auto get = symbol<KovTestCountersFn>(module_, KOV_TEST_COUNTERS_EXPORT);
    if (get != nullptr) counters_ = get();
}

ProviderLibrary::~ProviderLibrary() {
    if (module_ != nullptr) platform::freeLibrary(module_);
}

std::string providerPath(const char* name) {
    return std::string(KOV_TEST_DIR) + name + KOV_TEST_LIB_SUFFIX;
}

void clearProviderKeys() {
    Key broker, list;
    ASSERT_NO_FATAL_FAILURE(openProviderList(broker, list));
    char name[300];
    while (platform::enumKey(list.key, 0, name, sizeof name) == platform::kRegOk)
        ASSERT_EQ(platform::deleteKey(list.key, name), platform::kRegOk) << name;
}

void writeProviderKey(const std::string& key, const std::vector<std::string>& paths) {
    Key broker, list, provider;
    ASSERT_NO_FATAL_FAILURE(openProviderList(broker, list));
    ASSERT_EQ(platform::createKey(list.key, key.c_str(), nullptr, &provider.key, nullptr),
              platform::kRegOk);
    for (const std::string& path : paths)
        ASSERT_EQ(platform::setDwordValue(provider.key, path.c_str(), 0), platform::kRegOk);
    platform::flushKey(provider.key);
}

std::vector<std::string> providerKeys() {
    Key broker, list;
    openProviderList(broker, list);
    std::vector<std::string> keys;
    char name[300];
    while (list.key != nullptr &&
           platform::enumKey(list.key, static_cast<std::uint32_t>(keys.size()), name,
                             sizeof name) == platform::kRegOk)
        keys.emplace_back(name);
    return keys;
}

std::vector<RegistryValue> providerKeyValues(const std::string& key) {
    std::vector<RegistryValue> values;
    Key broker, list, provider;
    openProviderList(broker, list);
    // Opening creates a missing key, so only keys known to exist are opened.
    if (list.key == nullptr ||
        platform::createKey(list.key, key.c_str(), nullptr, &provider.key, nullptr) !=
            platform::kRegOk)
        return values;
    char name[400];
    std::uint8_t data[8] = {};
    while (platform::enumValue(provider.key, static_cast<std::uint32_t>(values.size()), name,
                               sizeof name, data, sizeof data) == platform::kRegOk)
        values.push_back({name, u32(data, 0)});
    return values;
}

std::vector<Subsystem> parseList(const std::vector<std::uint8_t>& confirm) {
    std::vector<Subsystem> result;
    const std::size_t size = confirm.size();
    const auto inside = [size](std::size_t offset, std::size_t length) {
        if (offset <= size && length <= size - offset) return true;
        ADD_FAILURE() << "reply read at " << offset << "+" << length << " beyond " << size;
        return false;
    };
    const std::uint8_t* m = confirm.data();
    if (!inside(0, 44)) return result;
    const std::uint32_t payload = u32(m, 8);
    if (!inside(payload, 20)) return result;
    EXPECT_EQ(u32(m, payload), size - payload) << "payload length field";
    const std::uint32_t count = u32(m, payload + 16);
    std::size_t at = payload + 20;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!inside(at, 60)) return result;
        Subsystem s;
        s.step = u32(m, at);
        const std::uint32_t product = u32(m, at + 52);
        if (product != 0 && inside(at + product, 4) &&
            inside(at + product + 4, 2 * std::size_t{u32(m, at + product)}))
            s.product = test::itemText(m + at, product);
        const std::uint32_t sets = u32(m, at + 56);
        std::size_t entry = at + 60;
        for (std::uint32_t k = 0; k < sets && k < 64; ++k) {
            if (!inside(entry, 20)) return result;
            s.sets.push_back({u32(m, entry + 8), u16(m, entry + 12), u16(m, entry + 14),
                              u32(m, entry + 16)});
            const std::uint32_t distance = u32(m, entry);
            if (k + 1 < sets && distance == 0) {
                ADD_FAILURE() << "entry chain of descriptor " << i << " ends early";
                break;
            }
            entry += distance;
        }
        result.push_back(s);
        if (i + 1 < count && s.step == 0) {
            ADD_FAILURE() << "descriptor " << i << " of " << count << " has no step";
            return result;
        }
        at += s.step;
    }
    if (!result.empty()) {
        EXPECT_EQ(result.back().step, 0u) << "last descriptor's step";
    }
    return result;
}

ProviderHandle handleServing(const std::vector<Subsystem>& list, std::uint32_t functionSet) {
    for (const Subsystem& s : list)
        for (const SetEntry& e : s.sets)
            if (e.functionSet == functionSet) return e.provider;
    return 0;
}

std::vector<std::uint8_t> registrationPayload(std::uint32_t operation, const std::string& key,
                                              const std::string& path) {
    const std::vector<std::uint8_t> keyText = test::utf16(key), pathText = test::utf16(path);
    const std::uint32_t keyOffset = 28;
    const std::uint32_t pathOffset = keyOffset + 4 + static_cast<std::uint32_t>(keyText.size());
    std::vector<std::uint8_t> payload(16, 0);
    test::appendU32(payload, operation);
    test::appendU32(payload, keyOffset);
    test::appendU32(payload, pathOffset);
    test::appendU32(payload, static_cast<std::uint32_t>(keyText.size() / 2));
    payload.insert(payload.end(), keyText.begin(), keyText.end());
    test::appendU32(payload, static_cast<std::uint32_t>(pathText.size() / 2));
    payload.insert(payload.end(), pathText.begin(), pathText.end());
    return payload;
}

std::vector<std::uint8_t> bytesOf(const BrokerMessage* message) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(message);
    return {p, p + message->totalLength};
}

void ModuleTest::SetUp() {
    ASSERT_NO_FATAL_FAILURE(clearProviderKeys());
    module_ = std::make_unique<BrokerModule>();
    ASSERT_NE(module_->handle, nullptr) << "cannot load " KOV_TEST_DIR KOV_TEST_MODULE_FILE;
    ASSERT_NE(module_->send, nullptr);
    ASSERT_NE(module_->sendSync, nullptr);
    ASSERT_NE(module_->deleteConfirm, nullptr);
}

void ModuleTest::TearDown() {
    module_.reset();
    clearProviderKeys();
}

std::vector<std::uint8_t> ModuleTest::call(test::Request& request) {
    BrokerMessage* confirm = nullptr;
    module_->sendSync(request.get(), &confirm);
    if (confirm == nullptr) return {};
    std::vector<std::uint8_t> copy = bytesOf(confirm);
    EXPECT_EQ(module_->deleteConfirm(confirm), 0);
    return copy;
}

std::vector<Subsystem> ModuleTest::list() {
    test::Request request(0, KOV_BROKER_FUNCTION_SET, KOV_FN_LIST_SUBSYSTEMS);
    const std::vector<std::uint8_t> reply = call(request);
    EXPECT_FALSE(reply.empty()) << "no ListSubsystems reply";
    if (reply.empty()) return {};
    EXPECT_EQ(u32(reply.data(), 32), 0u) << "ListSubsystems status";
    return parseList(reply);
}

std::uint32_t ModuleTest::registerProvider(std::uint32_t operation, const std::string& key,
                                           const std::string& path) {
    test::Request request(0, KOV_BROKER_FUNCTION_SET, KOV_FN_REGISTER_PROVIDER, 44,
                          registrationPayload(operation, key, path));
    const std::vector<std::uint8_t> reply = call(request);
    EXPECT_EQ(reply.size(), 44u) << "registration replies are header-only";
    if (reply.size() < 44) return 0xFFFFFFFF;
    EXPECT_EQ(u32(reply.data(), 32), request->status) << "reply and request disagree";
    return u32(reply.data(), 32);
}

} // namespace kov::integration
