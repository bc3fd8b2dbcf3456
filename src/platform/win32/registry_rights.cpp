// Why this process may not write the registry, for the admin tool's messages: on Windows the
// broker's key lives under HKEY_LOCAL_MACHINE, which only an administrator may change.
#include "platform/win32/win32.h"

namespace kov::platform {

RegistryWriteDenial registryWriteDenial() {
    RegistryWriteDenial denial;
    denial.cause = RegistryWriteDenial::Cause::Administrator;
    return denial;
}

} // namespace kov::platform
