// kov_test_needs_dep: a provider library that imports kov_test_dep, which is built into a folder
// no loader searches. Loading it fails for that dependency alone, and the reason must name it.
#include <kov/kov_broker.h>

extern "C" int kov_test_dep_value();

extern "C" {

BrokerMessage* KOV_CALL kov_GetSubSystemInfo() {
    return kov_test_dep_value() == 42 ? nullptr : nullptr; // never reached: the load fails first
}

int32_t KOV_CALL kov_Receive(BrokerMessage*) { return 1; }

int32_t KOV_CALL kov_DeleteReceive(BrokerMessage*) { return 0; }

} // extern "C"
