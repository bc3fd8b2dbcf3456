#include "registry/provider_loading.h"

#include "brokerprovider/broker_provider.h"
#include "message/reply_records.h"
#include "registry/registry_key.h"
#include "runtime/broker_lock.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

namespace kov::registry {
namespace {

void loadProvidersOfKey(const RegistryKey& providerList, const char* keyName) {
    RegistryKey providerKey;
    if (!providerKey.open(providerList.get(), keyName)) return;
    char valueName[kValueNameChars];
    std::uint8_t data[kValueDataBytes];
    for (std::uint32_t index = 0;; ++index) {
        if (platform::enumValue(providerKey.get(), index, valueName, kValueNameChars, data,
                                kValueDataBytes) != platform::kRegOk)
            break;
        ProviderRecord* record = loadProviderLibrary(valueName);
        if (record != nullptr && !pushFront(record)) unloadUnlinkedRecord(record);
    }
}

void loadRegisteredLibraries() {
    RegistryKey broker;
    RegistryKey providerList;
    if (!broker.open(platform::localMachineKey(), kBrokerKey)) return;
    if (!providerList.open(broker.get(), kProviderListKey)) return;
    char keyName[kKeyNameChars];
    for (std::uint32_t index = 0;; ++index) {
        if (platform::enumKey(providerList.get(), index, keyName, kKeyNameChars) != platform::kRegOk)
            break;
        loadProvidersOfKey(providerList, keyName);
    }
}

} // namespace

ProviderRecord* loadProviderLibrary(const char* path) {
    platform::ModuleHandle module = platform::loadLibrary(path);
    if (module == nullptr) return nullptr;
    const auto deleteEntry =
        reinterpret_cast<KovDeleteReceiveFn>(platform::findSymbol(module, "kov_DeleteReceive"));
    const auto receiveEntry =
        reinterpret_cast<KovReceiveFn>(platform::findSymbol(module, "kov_Receive"));
    const auto infoEntry =
        reinterpret_cast<KovGetSubSystemInfoFn>(platform::findSymbol(module, "kov_GetSubSystemInfo"));
    BrokerMessage* block = nullptr;
    if (deleteEntry != nullptr && receiveEntry != nullptr && infoEntry != nullptr)
        block = infoEntry();
    if (block == nullptr) {
        platform::freeLibrary(module);
        return nullptr;
    }

    ProviderRecord* record = nullptr;
    message::InfoBlock info;
    // A block that fails the checks counts as no description at all.
    if (message::readInfoBlock(block, &info)) {
        record = newProviderRecord(info.payloadLength - message::kInfoDescriptorStart);
        if (record != nullptr) {
            record->module = module;
            record->deleteEntry = deleteEntry;
            record->receiveEntry = receiveEntry;
            record->infoEntry = infoEntry;
            record->setCount = info.setCount;
            message::copyDescriptor(info, record->descriptor, record->handle);
            runtime::addSetCount(info.setCount);
        }
    }
    // The block is the provider's; it goes back whether or not a record was made.
    deleteEntry(block);
    if (record == nullptr) platform::freeLibrary(module);
    return record;
}

bool loadAllProviders() {
    runtime::BrokerLockGuard guard;
    runtime::resetSetCount();
    // The broker provider's record comes first: without it handle 0 would name a library, so
    // nothing is loaded and the next send tries the whole load again.
    ProviderRecord* broker = brokerprovider::newBrokerProviderRecord();
    if (broker == nullptr) return false;
    try {
        loadRegisteredLibraries();
    } catch (...) {
        // Nothing of an interrupted load stays for a later load to build on.
        unloadAll();
        discardProviderRecord(broker);
        runtime::resetSetCount();
        return false;
    }
    pushFront(broker);
    runtime::addSetCount(brokerprovider::kBrokerProviderSets);
    return true;
}

bool reloadProviders() {
    runtime::BrokerLockGuard guard;
    unloadAll();
    if (loadAllProviders()) return true;
    runtime::forgetLoaded();
    return false;
}

} // namespace kov::registry
