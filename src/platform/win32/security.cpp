// The security descriptor behind BrokerSecurity: a present but null DACL grants every access to
// everyone, so the lock, the events and the registered keys are usable from any account.
#include "platform/faults.h"
#include "platform/win32/win32.h"

namespace kov::platform {

bool initSecurityDescriptor(void* descriptor) {
    if (faults::shouldFail(faults::Fault::InitSecurity)) return false;
    return InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) != FALSE;
}

bool setNullDacl(void* descriptor) {
    if (faults::shouldFail(faults::Fault::SetDacl)) return false;
    return SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE) != FALSE;
}

} // namespace kov::platform
