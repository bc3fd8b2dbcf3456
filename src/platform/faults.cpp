#include "platform/faults.h"

#include <atomic>

namespace kov::faults {

namespace detail {
Switch switches[static_cast<unsigned>(Fault::Count)];
std::atomic<bool> counting{false};

bool armedFails(Switch& s, unsigned call) {
    const unsigned at = s.failAt.load();
    return at != 0 && (call == at || (s.andAfter && call > at));
}
} // namespace detail

namespace {

using detail::Switch;
using detail::switches;

std::atomic<unsigned> uses[static_cast<unsigned>(Use::Count)] = {};
std::atomic<bool> writesDenied{false};
std::atomic<Elevation> elevation{Elevation::Real};

Switch& of(Fault fault) { return switches[static_cast<unsigned>(fault)]; }

} // namespace

void failNth(Fault fault, unsigned n, bool andAfter) {
    detail::counting = true;
    Switch& s = of(fault);
    s.andAfter = andAfter;
    s.failAt = s.seen.load() + n;
}

void stopCounting() {
    clear();
    detail::counting = false;
}

void clear() {
    detail::counting = true;
    for (Switch& s : switches) {
        s.failAt = 0;
        s.andAfter = false;
        s.seen = 0;
    }
    for (auto& u : uses) u = 0;
    writesDenied = false;
    elevation = Elevation::Real;
}

void denyRegistryWrites(bool deny) { writesDenied = deny; }

bool registryWritesDenied() { return writesDenied.load(); }

void pretendElevation(Elevation e) { elevation = e; }

bool elevatedAsPretended(bool systemSays) {
    const Elevation pretended = elevation.load();
    return pretended == Elevation::Real ? systemSays : pretended == Elevation::Elevated;
}

void noteUse(Use use) { uses[static_cast<unsigned>(use)].fetch_add(1, std::memory_order_relaxed); }

unsigned usesSeen(Use use) { return uses[static_cast<unsigned>(use)].load(); }

unsigned callsSeen(Fault fault) { return of(fault).seen.load(); }

} // namespace kov::faults
