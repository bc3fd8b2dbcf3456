#include "platform/faults.h"

#include <atomic>

namespace kov::faults {
namespace {

constexpr unsigned kKinds = static_cast<unsigned>(Fault::Count);

struct Switch {
    std::atomic<unsigned> seen{0};
    std::atomic<unsigned> failAt{0}; // 0 = armed for nothing
    std::atomic<bool> andAfter{false};
};

Switch switches[kKinds];
std::atomic<unsigned> uses[static_cast<unsigned>(Use::Count)] = {};
std::atomic<bool> writesDenied{false};

Switch& of(Fault fault) { return switches[static_cast<unsigned>(fault)]; }

} // namespace

void failNth(Fault fault, unsigned n, bool andAfter) {
    Switch& s = of(fault);
    s.andAfter = andAfter;
    s.failAt = s.seen.load() + n;
}

void clear() {
    for (Switch& s : switches) {
        s.failAt = 0;
        s.andAfter = false;
        s.seen = 0;
    }
    for (auto& u : uses) u = 0;
    writesDenied = false;
}

void denyRegistryWrites(bool deny) { writesDenied = deny; }

bool registryWritesDenied() { return writesDenied.load(); }

void noteUse(Use use) { uses[static_cast<unsigned>(use)].fetch_add(1, std::memory_order_relaxed); }

unsigned usesSeen(Use use) { return uses[static_cast<unsigned>(use)].load(); }

unsigned callsSeen(Fault fault) { return of(fault).seen.load(); }

bool shouldFail(Fault fault) {
    Switch& s = of(fault);
    const unsigned call = ++s.seen;
    const unsigned at = s.failAt.load();
    if (at == 0) return false;
    return call == at || (s.andAfter && call > at);
}

} // namespace kov::faults
