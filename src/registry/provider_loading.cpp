#include "registry/provider_loading.h"

#include "brokerprovider/broker_provider.h"
#include "message/reply_records.h"
#include "registry/library_probe.h"
#include "registry/registry_key.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

#include <cstdio>
#include <exception>

namespace kov::registry {
namespace {

// Records loaded but not listed yet, newest first: the order the list wants them in (each loaded
// library goes in front of those loaded before it). Whatever is still here when a load ends
// without publishing them is unloaded again, also when an exception or a thread's cancellation
// cuts the load short.
class LoadedRecords {
public:
    LoadedRecords() = default;
    LoadedRecords(const LoadedRecords&) = delete;
    LoadedRecords& operator=(const LoadedRecords&) = delete;
    ~LoadedRecords() {
        while (first_ != nullptr) {
            ProviderRecord* const record = first_;
            first_ = record->link;
            unloadUnlistedRecord(record);
        }
    }
    void push(ProviderRecord* record) {
        record->link = first_;
        first_ = record;
        ++count_;
    }
    std::uint32_t count() const { return count_; }
    // Adds the records to the list being prepared; the list owns them once it is published.
    void addTo(ListChange& change) {
        for (ProviderRecord* record = first_; record != nullptr; record = record->link)
            change.add(record);
    }
    void listed() {
        first_ = nullptr;
        count_ = 0;
    }

private:
    ProviderRecord* first_ = nullptr;
    std::uint32_t count_ = 0;
};

void loadProvidersOfKey(const RegistryKey& providerList, const char* keyName,
                        LoadedRecords& loaded) {
    RegistryKey providerKey;
    if (!providerKey.openExisting(providerList.get(), keyName)) return;
    char valueName[kValueNameChars];
    std::uint8_t data[kValueDataBytes];
    for (std::uint32_t index = 0;; ++index) {
        if (platform::enumValue(providerKey.get(), index, valueName, kValueNameChars, data,
                                kValueDataBytes) != platform::kRegOk)
            break;
        if (ProviderRecord* record = loadProviderLibrary(keyName, valueName)) loaded.push(record);
    }
}

void loadRegisteredLibraries(LoadedRecords& loaded) {
    RegistryKey broker;
    RegistryKey providerList;
    if (!broker.openExisting(platform::localMachineKey(), kBrokerKey)) return;
    if (!providerList.openExisting(broker.get(), kProviderListKey)) return;
    char keyName[kKeyNameChars];
    for (std::uint32_t index = 0;; ++index) {
        if (platform::enumKey(providerList.get(), index, keyName, kKeyNameChars) != platform::kRegOk)
            break;
        loadProvidersOfKey(providerList, keyName, loaded);
    }
}

// The broker provider's record until a published list owns it.
class BrokerRecord {
public:
    BrokerRecord() : record_(brokerprovider::newBrokerProviderRecord()) {}
    ~BrokerRecord() {
        if (record_ != nullptr) discardProviderRecord(record_);
    }
    BrokerRecord(const BrokerRecord&) = delete;
    BrokerRecord& operator=(const BrokerRecord&) = delete;
    ProviderRecord* get() const { return record_; }
    void listed() { record_ = nullptr; }

private:
    ProviderRecord* record_;
};

} // namespace

ProviderRecord* loadProviderLibrary(const char* keyName, const char* path) {
    LibraryProbe probe;
    return loadProviderLibrary(keyName, path, probe);
}

ProviderRecord* loadProviderLibrary(const char* keyName, const char* path, LibraryProbe& probe) {
    if (!probeLibrary(path, probe)) return nullptr;
    const message::InfoBlock& info = probe.info;
    ProviderRecord* record =
        newProviderRecord(info.payloadLength - message::kInfoDescriptorStart, keyName, path);
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

bool loadAllProviders(Load kind) {
    ListChange change;
    if (change.refused()) return false;
    const std::uint32_t setCountBefore = runtime::setCount();
    runtime::resetSetCount();
    // The broker provider's record comes first: without it handle 0 would name a library, so
    // nothing is loaded.
    BrokerRecord broker;
    ProviderRecord* const brokerRecord = broker.get();
    if (brokerRecord == nullptr) {
        runtime::restoreSetCount(setCountBefore);
        return false;
    }
    if (kind == Load::First) {
        change.prepareAlone(brokerRecord);
        change.publish();
        broker.listed();
    }
    LoadedRecords loaded;
    bool complete = true;
    try {
        loadRegisteredLibraries(loaded);
    } catch (const std::exception&) {
        // Out of memory in the registry layer: nothing of an interrupted load is kept. (A
        // thread's cancellation is no std::exception: it passes, and everything undoes itself.)
        complete = false;
    }
    if (!complete || !change.prepare(loaded.count() + 1)) {
        // A first load keeps the broker provider alone; a reload keeps the old list.
        runtime::restoreSetCount(kind == Load::First ? brokerprovider::kBrokerProviderSets
                                                     : setCountBefore);
        return false;
    }
    change.add(brokerRecord);
    loaded.addTo(change);
    change.publish();
    broker.listed();
    loaded.listed();
    runtime::addSetCount(brokerprovider::kBrokerProviderSets);
    return true;
}

bool reloadProviders() {
    if (!loadAllProviders(Load::Reload)) return false;
    runtime::markLoaded();
    return true;
}

} // namespace kov::registry
