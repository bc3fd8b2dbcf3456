#include "registry/provider_loading.h"

#include "brokerprovider/broker_provider.h"
#include "message/reply_records.h"
#include "registry/library_probe.h"
#include "registry/registry_key.h"
#include "runtime/broker_lock.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

#include <cstdio>

namespace kov::registry {
namespace {

void loadProvidersOfKey(const RegistryKey& providerList, const char* keyName) {
    RegistryKey providerKey;
    if (!providerKey.openExisting(providerList.get(), keyName)) return;
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
    if (!broker.openExisting(platform::localMachineKey(), kBrokerKey)) return;
    if (!providerList.openExisting(broker.get(), kProviderListKey)) return;
    char keyName[kKeyNameChars];
    for (std::uint32_t index = 0;; ++index) {
        if (platform::enumKey(providerList.get(), index, keyName, kKeyNameChars) != platform::kRegOk)
            break;
        loadProvidersOfKey(providerList, keyName);
    }
}

} // namespace

ProviderRecord* loadProviderLibrary(const char* path) {
    LibraryProbe probe;
    return loadProviderLibrary(path, probe);
}

ProviderRecord* loadProviderLibrary(const char* path, LibraryProbe& probe) {
    if (!probeLibrary(path, probe)) return nullptr;
    const message::InfoBlock& info = probe.info;
    ProviderRecord* record = newProviderRecord(info.payloadLength - message::kInfoDescriptorStart);
    if (record != nullptr) {
        record->module = probe.module;
        record->deleteEntry = probe.deleteEntry;
        record->receiveEntry = probe.receiveEntry;
        record->infoEntry = probe.infoEntry;
        record->setCount = info.setCount;
        if (message::copyDescriptor(info, record->descriptor, record->handle)) {
            runtime::addSetCount(info.setCount);
        } else {
            std::snprintf(probe.reason, sizeof probe.reason,
                          "the information block changed while it was being copied");
            discardProviderRecord(record);
            record = nullptr;
        }
    } else {
        std::snprintf(probe.reason, sizeof probe.reason, "no memory for the provider's record");
    }
    // The block is the provider's; it goes back whether or not a record was made.
    returnInfoBlock(probe);
    if (record == nullptr) platform::freeLibrary(probe.module);
    return record;
}

bool loadAllProviders() {
    runtime::BrokerLockGuard guard;
    runtime::resetSetCount();
    // The broker provider's record comes first: without it handle 0 would name a library, so
    // nothing is loaded and the next send tries the whole load again.
    ProviderRecord* broker = brokerprovider::newBrokerProviderRecord();
    if (broker == nullptr) return false;
    bool complete = true;
    try {
        loadRegisteredLibraries();
    } catch (...) {
        // Nothing of an interrupted load stays for a later load to build on; the broker provider
        // alone stays, so that handle 0 still answers while the next send loads again.
        unloadAll();
        runtime::resetSetCount();
        complete = false;
    }
    pushFront(broker);
    runtime::addSetCount(brokerprovider::kBrokerProviderSets);
    return complete;
}

bool reloadProviders() {
    runtime::BrokerLockGuard guard;
    unloadAll();
    if (loadAllProviders()) return true;
    runtime::forgetLoaded();
    return false;
}

} // namespace kov::registry
