#include "support/provider_probe.h"

#include "runtime/guard.h"
#include "support/messages.h"

namespace kov::test {

std::vector<const registry::ProviderRecord*> listedProviders() {
    const runtime::Guard guard;
    std::vector<const registry::ProviderRecord*> records;
    if (guard)
        for (const registry::ProviderRecord* r : registry::listedProviders(guard)) records.push_back(r);
    return records;
}

const registry::ProviderRecord* providerFor(ProviderHandle handle) {
    const runtime::Guard guard;
    return guard ? registry::findProvider(guard, handle) : nullptr;
}

std::uint32_t firstFunctionSet(const registry::ProviderRecord* record) {
    return u32(record->descriptor, 60 + 8);
}

std::vector<std::uint32_t> listedFunctionSets() {
    std::vector<std::uint32_t> sets;
    for (const registry::ProviderRecord* r : listedProviders()) sets.push_back(firstFunctionSet(r));
    return sets;
}

registry::ProviderRecord* linkFakeProvider(KovReceiveFn receive) {
    registry::ProviderRecord* record = registry::newProviderRecord(0);
    if (record == nullptr) return nullptr;
    record->receiveEntry = receive;
    registry::ListChange change;
    if (change.refused() || !change.prepareAppended(record)) {
        registry::discardProviderRecord(record);
        return nullptr;
    }
    change.publish();
    return record;
}

bool libraryLoaded(const std::string& path) {
    return platform::findLoadedModule(path.c_str()) != nullptr;
}

LibraryProbe::LibraryProbe(const std::string& path) : module_(platform::loadLibrary(path.c_str())) {
    if (module_ == nullptr) return;
    const auto countersOf =
        reinterpret_cast<KovTestCountersFn>(platform::findSymbol(module_, KOV_TEST_COUNTERS_EXPORT));
    if (countersOf != nullptr) counters_ = countersOf();
}

LibraryProbe::~LibraryProbe() {
    if (module_ != nullptr) platform::freeLibrary(module_);
}

KovProviderCounters LibraryProbe::counters() const {
    KovProviderCounters copy{};
    if (counters_ != nullptr) {
        copy.infoCalls = __atomic_load_n(&counters_->infoCalls, __ATOMIC_SEQ_CST);
        copy.infoReturned = __atomic_load_n(&counters_->infoReturned, __ATOMIC_SEQ_CST);
        copy.receives = __atomic_load_n(&counters_->receives, __ATOMIC_SEQ_CST);
        copy.confirmsBuilt = __atomic_load_n(&counters_->confirmsBuilt, __ATOMIC_SEQ_CST);
        copy.confirmsReleased = __atomic_load_n(&counters_->confirmsReleased, __ATOMIC_SEQ_CST);
        copy.pendingConfirms = __atomic_load_n(&counters_->pendingConfirms, __ATOMIC_SEQ_CST);
        copy.refusals = __atomic_load_n(&counters_->refusals, __ATOMIC_SEQ_CST);
    }
    return copy;
}

} // namespace kov::test
