// Process attach and detach of the shared module: the loader runs these when the module is
// loaded into a process and when it is unloaded or the process exits.
#include "runtime/process.h"

#include <dlfcn.h>

namespace {

// The module's identity is its load address; the POSIX string table needs nothing more.
kov::platform::ModuleHandle thisModule() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&thisModule), &info) == 0) return nullptr;
    return info.dli_fbase;
}

// A failed attach cannot refuse the load here as DllMain can; the runtime then stays detached
// and the exports turn requests away.
__attribute__((constructor)) void attachModule() { kov::runtime::processAttach(thisModule()); }

// Exit and dlclose both land here and cannot be told apart, so detach as for an unload.
__attribute__((destructor)) void detachModule() { kov::runtime::processDetach(false); }

} // namespace
