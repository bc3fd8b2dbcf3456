// What the last load of the provider list found: the registry it read, whether it read all of it,
// every registry entry that did not load and why, and how the crash marks fared. A load builds
// its report aside and publishes it whole when it ends, whether it published a list or not;
// GetLoadReport reads the one published last, without waiting for a load in progress.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kov::registry {

struct LoadProblem {
    std::uint32_t why;    // KOV_ENTRY_...
    std::uint32_t status; // KOV_STATUS_...
    std::string key;      // empty: its name could not be read
    std::string path;
    std::string reason;
    std::uint32_t processId; // KOV_ENTRY_CRASHED: the process that ended while loading it
    std::uint32_t layer = KOV_LAYER_MACHINE;
};

struct LoadReport {
    std::uint32_t outcome = KOV_STATUS_OK;
    std::uint32_t loadKind = KOV_LOAD_FIRST;
    std::uint32_t registryState = KOV_REGISTRY_ABSENT;
    std::uint32_t registryError = 0;
    std::string location;
    std::uint32_t loadedCount = 0;
    std::vector<LoadProblem> problems;
    std::uint32_t marksState = KOV_MARKS_NONE;
    std::string marksFolder;
    std::string marksNote;
    char timestamp[KOV_TIMESTAMP_SIZE] = {};
    // The user's registry, read after the machine's; its trouble never fails the load.
    std::uint32_t userState = KOV_REGISTRY_ABSENT;
    std::uint32_t userError = 0;
    std::string userLocation;
    std::string userNote;
};

// A load that had no memory for its report publishes what it can say without one: its outcome
// and kind. `report` is null then.
struct PublishedReport {
    std::shared_ptr<const LoadReport> report;
    std::uint32_t outcome = KOV_STATUS_OK;
    std::uint32_t loadKind = 0; // 0: no load has ended yet
};

void publishLoadReport(std::shared_ptr<const LoadReport> report, std::uint32_t outcome,
                       std::uint32_t loadKind);
PublishedReport lastLoadReport();
// Attach and detach: no load has run in this attach.
void forgetLoadReport();

} // namespace kov::registry
