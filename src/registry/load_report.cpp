#include "registry/load_report.h"

#include <atomic>
#include <new>

namespace kov::registry {
namespace {

using Pointer = std::shared_ptr<const LoadReport>;

// Never destroyed, and made without the heap: the module's detach, which empties it, may run
// after the destructors of its globals, and the attach must not fail for want of memory.
alignas(Pointer) unsigned char storage[sizeof(Pointer)];
Pointer& published() {
    static Pointer* const report = new (storage) Pointer();
    return *report;
}
std::atomic<std::uint32_t> publishedOutcome{KOV_STATUS_OK};
std::atomic<std::uint32_t> publishedKind{0};

} // namespace

void publishLoadReport(std::shared_ptr<const LoadReport> report, std::uint32_t outcome,
                       std::uint32_t loadKind) {
    // Readers copy the pointer without a lock of ours, so a report stays alive as long as one of
    // them holds it. Outcome and kind, kept beside it, speak only for a load without a report.
    std::atomic_store(&published(), std::move(report));
    publishedOutcome.store(outcome);
    publishedKind.store(loadKind);
}

PublishedReport lastLoadReport() {
    PublishedReport last;
    last.report = std::atomic_load(&published());
    if (last.report != nullptr) {
        last.outcome = last.report->outcome;
        last.loadKind = last.report->loadKind;
    } else {
        last.outcome = publishedOutcome.load();
        last.loadKind = publishedKind.load();
    }
    return last;
}

void forgetLoadReport() { publishLoadReport(nullptr, KOV_STATUS_OK, 0); }

} // namespace kov::registry
