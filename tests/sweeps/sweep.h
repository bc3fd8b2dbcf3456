// Fault sweeps: an operation is run again and again while the nth call of one kind fails
// (n = 1, 2, ... until a run makes no such call), once and from the nth call on, for the block
// allocator, the C++ heap and every platform call kind. After every case the broker must be
// whole again: nothing leaked, nobody left waiting, handle 0 at the broker provider, the list
// as the unfaulted run left it.
#pragma once

#include "support/broker_fixture.h"
#include "support/caller_view.h"

#include <vector>

namespace kov::test {

// One operation under test. run() is the only part executed while faults are armed: it must not
// use the test framework. verify() runs afterwards, checks the outcome run() recorded and gives
// back whatever the operation handed out.
class SweptOperation {
public:
    virtual ~SweptOperation() = default;
    virtual void prepare() {}
    virtual void run() = 0;
    virtual void verify() = 0;
    // Puts the broker back as the unfaulted run leaves it (a clean reload, for instance), for
    // operations whose failure may legitimately leave less loaded than before.
    virtual void restore() {}
};

class SweepTest : public BrokerTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Three provider libraries in the registry, loaded.
    void registerThree();
    // Runs every case for `operation`; returns how many ran and prints the figure.
    unsigned sweep(const char* name, SweptOperation& operation);

    // The broker provider's statistics reply through handle 0 (checked), and the listed sets.
    void expectBrokerReachable();
    // Listed (function set, descriptor index) pairs: handles change on reload, the shape not.
    static std::vector<std::pair<std::uint32_t, std::uint32_t>> listShape();

private:
    // The sweeps load and unload the same libraries thousands of times. A Windows DLL linked with
    // MinGW's static C++ runtime takes one of the process's TLS slots (about 1,088) each time it
    // initialises and never gives it back, and aborts once none is left; held here, each
    // library initialises once. The broker's own loads and unloads still run in full.
    std::vector<platform::ModuleHandle> held_;
};

// Result of a synchronous call, recorded inside run().
struct SyncOutcome {
    std::int32_t result = 0;
    BrokerMessage* confirm = nullptr;
    std::uint32_t status = 0;
    bool threw = false;
};

// A synchronous send of `request`, exceptions recorded rather than propagated.
void sendSyncRecording(Request& request, SyncOutcome& out);
// Checks a synchronous outcome against the failure table: a reply (status 0 or `okStatus`), an
// error confirm with status 2 (no wait event), or null with status 3. Deletes what it got.
void expectSyncOutcome(const SyncOutcome& out, std::uint32_t okStatus = 0);

} // namespace kov::test
