#include "support/broker_exports.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kov::test {
namespace {

// putenv keeps the buffer it is given, so each variable has one of its own for good.
void put(char (&buffer)[64], const char* name, const void* address) {
    std::snprintf(buffer, sizeof buffer, "%s=%llx", name,
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(address)));
    putenv(buffer);
}

} // namespace

void offerBrokerExports(SendFn send, SendSyncFn sendSync, DeleteConfirmFn deleteConfirm) {
    static char sendVariable[64], sendSyncVariable[64], deleteVariable[64];
    put(sendVariable, "KOV_TEST_BROKER_SEND", reinterpret_cast<const void*>(send));
    put(sendSyncVariable, "KOV_TEST_BROKER_SEND_SYNC", reinterpret_cast<const void*>(sendSync));
    put(deleteVariable, "KOV_TEST_BROKER_DELETE", reinterpret_cast<const void*>(deleteConfirm));
}

} // namespace kov::test
