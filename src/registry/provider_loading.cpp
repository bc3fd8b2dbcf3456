#include "registry/provider_loading.h"

#include "brokerprovider/broker_provider.h"
#include "message/reply_records.h"
#include "message/timestamp.h"
#include "registry/crash_mark_file.h"
#include "registry/crash_marks.h"
#include "registry/library_probe.h"
#include "registry/load_report.h"
#include "registry/registry_key.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

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

// What one load found out, for its report. A load that runs out of memory for its report goes on
// without it: the report is the load's account, never its condition.
class ReportBuilder {
public:
    explicit ReportBuilder(Load kind) : kind_(kind == Load::First ? KOV_LOAD_FIRST : KOV_LOAD_RELOAD) {
        contained([&] {
            report_ = std::make_shared<LoadReport>();
            report_->loadKind = kind_;
            report_->location = platform::registryLocation(kBrokerKey);
            message::makeTimestamp(report_->timestamp);
        });
    }
    LoadReport* get() { return report_.get(); }
    void registry(std::uint32_t state, long error = 0) {
        if (report_ != nullptr) {
            report_->registryState = state;
            report_->registryError = static_cast<std::uint32_t>(error);
        }
    }
    // Texts as the walk has them, so that nothing is allocated before the report may fail.
    void problem(std::uint32_t why, std::uint32_t status, const char* key, const char* path,
                 const char* reason, std::uint32_t processId, std::uint32_t layer) {
        if (report_ == nullptr) return;
        contained([&] {
            report_->problems.push_back(
                LoadProblem{why, status, key, path, reason, processId, layer});
        });
    }
    void user(std::uint32_t state, long error, const std::string& note) {
        if (report_ == nullptr) return;
        report_->userState = state;
        report_->userError = static_cast<std::uint32_t>(error);
        contained([&] {
            report_->userLocation = platform::userRegistryLocation(kBrokerKey);
            report_->userNote = note;
        });
    }
    template <class Step>
    void contained(Step step) {
        try {
            step();
        } catch (const std::bad_alloc&) {
            report_.reset();
        }
    }
    void publish(std::uint32_t outcome, std::uint32_t loadedCount) {
        if (report_ != nullptr) {
            report_->outcome = outcome;
            report_->loadedCount = outcome == KOV_STATUS_OK ? loadedCount : 0;
        }
        publishLoadReport(std::move(report_), outcome, kind_);
    }

private:
    std::uint32_t kind_;
    std::shared_ptr<LoadReport> report_;
};

// What the report says of the crash marks, once the last library is loaded. They are a service
// to later processes: when they cannot be kept, the libraries load all the same.
void describeMarks(const LoadingMarks& marks, ReportBuilder& report) {
    LoadReport* r = report.get();
    if (r == nullptr) return;
    report.contained([&] {
        r->marksFolder = marks.folder();
        r->marksNote = marks.trouble();
        r->marksState = !r->marksNote.empty()     ? KOV_MARKS_TROUBLE
                        : r->marksFolder.empty() ? KOV_MARKS_NONE
                                                 : KOV_MARKS_KEPT;
    });
}

// Walks the provider list of one registry, handing each library entry it finds to `visit`. A
// registry error ends the walk: what was read so far is not taken for the whole list.
// "No more items" ends a level; a name too long for its buffer is named in the report and passed
// over; a key deleted since it was listed is passed over too.
class RegistryWalk {
public:
    // `unreadable`: null for a library entry; else why the entry (key name or path) could not
    // be read, which the load reports in its place.
    using Visit = std::function<void(const char* keyName, const char* path, const char* unreadable)>;
    explicit RegistryWalk(Visit visit) : visit_(std::move(visit)) {}

    // 0 when the whole list was read, else the registry's error; `state` says what was found.
    long run(platform::RegKey root, std::uint32_t& state) {
        RegistryKey broker;
        long rc = broker.openExisting(root, kBrokerKey);
        state = KOV_REGISTRY_UNREADABLE;
        if (rc == platform::kRegFileNotFound) return done(state, KOV_REGISTRY_ABSENT);
        if (rc == platform::kRegBadPathname) return done(state, KOV_REGISTRY_NOT_NAMED);
        if (rc != platform::kRegOk) return rc;
        RegistryKey providerList;
        rc = providerList.openExisting(broker.get(), kProviderListKey);
        if (rc == platform::kRegFileNotFound) return done(state, KOV_REGISTRY_READ);
        if (rc != platform::kRegOk) return rc;
        char keyName[kKeyNameChars];
        for (std::uint32_t index = 0;; ++index) {
            rc = platform::enumKey(providerList.get(), index, keyName, kKeyNameChars);
            if (rc == platform::kRegNoMoreItems) break;
            if (rc == platform::kRegMoreData) {
                visit_("", "", "a provider key whose name is longer than 299 characters cannot "
                               "be read; its libraries are not loaded");
                continue;
            }
            if (rc == platform::kRegOk) rc = walkKey(providerList, keyName);
            if (rc != platform::kRegOk) return rc;
        }
        return done(state, KOV_REGISTRY_READ);
    }

private:
    static long done(std::uint32_t& state, std::uint32_t found) {
        state = found;
        return platform::kRegOk;
    }

    long walkKey(const RegistryKey& providerList, const char* keyName) {
        RegistryKey providerKey;
        const long opened = providerKey.openExisting(providerList.get(), keyName);
        if (opened == platform::kRegFileNotFound) return platform::kRegOk; // removed meanwhile
        if (opened != platform::kRegOk) return opened;
        char path[kValueNameChars];
        for (std::uint32_t index = 0;; ++index) {
            // The name alone: the loader never looks at a value's data.
            const long rc =
                platform::enumValue(providerKey.get(), index, path, kValueNameChars, nullptr, 0);
            if (rc == platform::kRegNoMoreItems) return platform::kRegOk;
            if (rc == platform::kRegMoreData) {
                visit_(keyName, "", "a library path longer than 399 characters cannot be read");
                continue;
            }
            if (rc != platform::kRegOk) return rc;
            visit_(keyName, path, nullptr);
        }
    }

    Visit visit_;
};

// Loads one registry entry, unless a crash record says it took down an earlier process.
void loadEntry(const char* keyName, const char* path, std::uint32_t layer, LoadedRecords& loaded,
               ReportBuilder& report, LoadingMarks& marks) {
    if (const CrashMark* record = marks.recordFor(keyName, path)) {
        std::string reason;
        report.contained([&] { reason = skipReason(*record, keyName); });
        report.problem(KOV_ENTRY_CRASHED, KOV_STATUS_PROVIDER_LOAD_FAILED, keyName, path,
                       reason.c_str(), record->processId, layer);
        return;
    }
    LibraryProbe probe;
    marks.begin(keyName, path);
    ProviderRecord* const record = loadProviderLibrary(keyName, path, probe);
    marks.end();
    if (record != nullptr) {
        record->layer = layer;
        loaded.push(record);
    } else {
        report.problem(KOV_ENTRY_REFUSED, KOV_STATUS_PROVIDER_LOAD_FAILED, keyName, path,
                       probe.reason, 0, layer);
    }
}

struct Entry {
    std::string key;
    std::string path;
    const char* unreadable; // null for a library to load
};

// Reads one registry's entries whole, loading nothing yet.
long readLayer(platform::RegKey root, std::vector<Entry>& entries, std::uint32_t& state) {
    RegistryWalk walk([&](const char* key, const char* path, const char* unreadable) {
        entries.push_back(Entry{key, path, unreadable});
    });
    const long error = walk.run(root, state);
    if (error != platform::kRegOk) entries.clear();
    return error;
}

// The user's registry: its keys shadow the machine's of the same name. One that this process may
// not use, or that cannot be read to its end, shadows nothing and adds nothing: the machine's
// providers load all the same. Its state goes into the report.
std::vector<Entry> readUserLayer(ReportBuilder& report) {
    std::vector<Entry> entries;
    const platform::UserLayerCheck check = platform::checkUserLayer();
    std::uint32_t state = KOV_REGISTRY_ABSENT;
    long error = 0;
    switch (check.state) {
    case platform::UserLayerCheck::State::Elevated: state = KOV_REGISTRY_IGNORED; break;
    case platform::UserLayerCheck::State::Unsafe: state = KOV_REGISTRY_REFUSED; break;
    case platform::UserLayerCheck::State::NotNamed: state = KOV_REGISTRY_NOT_NAMED; break;
    case platform::UserLayerCheck::State::Usable:
        error = readLayer(platform::currentUserKey(), entries, state);
        break;
    }
    report.user(state, error, check.reason);
    return entries;
}

bool shadowed(const std::vector<Entry>& user, const std::string& keyName) {
    for (const Entry& entry : user)
        if (!entry.key.empty() && sameKeyName(entry.key, keyName)) return true;
    return false;
}

void loadLayerEntry(const Entry& entry, std::uint32_t layer, LoadedRecords& loaded,
                    ReportBuilder& report, LoadingMarks& marks) {
    if (entry.unreadable != nullptr)
        report.problem(KOV_ENTRY_UNREADABLE, KOV_STATUS_REGISTRY_ERROR, entry.key.c_str(), "",
                       entry.unreadable, 0, layer);
    else
        loadEntry(entry.key.c_str(), entry.path.c_str(), layer, loaded, report, marks);
}

// Both registries are read before anything loads: the machine's, then the user's, whose keys
// shadow the machine's. The machine's providers load first, then the user's. 0 when the
// machine's registry was read to its end (the user's never fails the load), else its error.
long walkLayers(LoadedRecords& loaded, ReportBuilder& report, LoadingMarks& marks) {
    std::vector<Entry> machine;
    std::uint32_t state = KOV_REGISTRY_UNREADABLE;
    const long error = readLayer(platform::localMachineKey(), machine, state);
    report.registry(state, error);
    if (error != platform::kRegOk) return error;
    const std::vector<Entry> user = readUserLayer(report);
    for (const Entry& entry : machine)
        if (!shadowed(user, entry.key)) loadLayerEntry(entry, KOV_LAYER_MACHINE, loaded, report, marks);
    for (const Entry& entry : user) loadLayerEntry(entry, KOV_LAYER_USER, loaded, report, marks);
    return platform::kRegOk;
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

// The whole load; its status.
std::uint32_t loadAll(Load kind) {
    ListChange change;
    if (change.refused()) return KOV_STATUS_NO_MEMORY;
    ReportBuilder report(kind);
    const std::uint32_t setCountBefore = runtime::setCount();
    runtime::resetSetCount();
    // A first load that fails keeps the broker provider alone; a reload keeps the old list.
    const auto fail = [&](std::uint32_t status) {
        runtime::restoreSetCount(kind == Load::First ? brokerprovider::kBrokerProviderSets
                                                     : setCountBefore);
        report.publish(status, 0);
        return status;
    };
    // The broker provider's record comes first: without it handle 0 would name a library, so
    // nothing is loaded.
    BrokerRecord broker;
    ProviderRecord* const brokerRecord = broker.get();
    if (brokerRecord == nullptr) {
        runtime::restoreSetCount(setCountBefore);
        report.publish(KOV_STATUS_NO_MEMORY, 0);
        return KOV_STATUS_NO_MEMORY;
    }
    if (kind == Load::First) {
        change.prepareAlone(brokerRecord);
        change.publish();
        broker.listed();
    }
    LoadedRecords loaded;
    LoadingMarks marks;
    marks.sweep();
    long registryError = platform::kRegOk;
    try {
        registryError = walkLayers(loaded, report, marks);
    } catch (const std::exception&) {
        // Out of memory in the registry layer: nothing of an interrupted load is kept. (A
        // thread's cancellation is no std::exception: it passes, and everything undoes itself.)
        marks.finish();
        describeMarks(marks, report);
        return fail(KOV_STATUS_NO_MEMORY);
    }
    marks.finish();
    describeMarks(marks, report);
    // A registry call that ran out of memory inside is a load without memory, not a registry that
    // cannot be read.
    if (registryError == platform::kRegNoMemory || registryError == platform::kRegOutOfMemory)
        return fail(KOV_STATUS_NO_MEMORY);
    if (registryError != platform::kRegOk) return fail(KOV_STATUS_REGISTRY_ERROR);
    if (!change.prepare(loaded.count() + 1)) return fail(KOV_STATUS_NO_MEMORY);
    change.add(brokerRecord);
    loaded.addTo(change);
    change.publish();
    broker.listed();
    const std::uint32_t listed = loaded.count();
    loaded.listed();
    runtime::addSetCount(brokerprovider::kBrokerProviderSets);
    report.publish(KOV_STATUS_OK, listed);
    return KOV_STATUS_OK;
}

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

bool shadowedByUser(const char* keyName) {
    if (platform::checkUserLayer().state != platform::UserLayerCheck::State::Usable) return false;
    const std::string path = std::string(kBrokerKey) + "\\" + kProviderListKey + "\\" + keyName;
    RegistryKey key;
    if (key.openExisting(platform::currentUserKey(), path.c_str()) != platform::kRegOk) return false;
    std::uint32_t values = 0;
    return platform::queryValueCount(key.get(), &values) == platform::kRegOk && values > 0;
}

bool loadAllProviders(Load kind, std::uint32_t* status) {
    const std::uint32_t outcome = loadAll(kind);
    if (status != nullptr) *status = outcome;
    return outcome == KOV_STATUS_OK;
}

bool reloadProviders(std::uint32_t* status) {
    if (!loadAllProviders(Load::Reload, status)) return false;
    runtime::markLoaded();
    return true;
}

} // namespace kov::registry

