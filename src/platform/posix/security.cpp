// Security descriptors have no POSIX counterpart: the lock and events are private to the process
// and the registry database is guarded by file permissions. The calls only report the faults
// tests inject.
#include "platform/faults.h"
#include "platform/platform.h"

namespace kov::platform {

bool initSecurityDescriptor(void* descriptor) {
    if (faults::shouldFail(faults::Fault::InitSecurity)) return false;
    return descriptor != nullptr;
}

bool setNullDacl(void* descriptor) {
    if (faults::shouldFail(faults::Fault::SetDacl)) return false;
    return descriptor != nullptr;
}

} // namespace kov::platform
