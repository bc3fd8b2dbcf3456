// Provider libraries through the dynamic loader.
#include "platform/faults.h"
#include "platform/platform.h"

#include <dlfcn.h>

namespace kov::platform {

// RTLD_LOCAL keeps one provider's symbols from resolving another's: each provider exports the
// same three names.
ModuleHandle loadLibrary(const char* path) {
    if (faults::shouldFail(faults::Fault::LoadLibrary)) return nullptr;
    if (path == nullptr) return nullptr;
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* findSymbol(ModuleHandle module, const char* name) {
    if (faults::shouldFail(faults::Fault::FindSymbol)) return nullptr;
    if (module == nullptr || name == nullptr) return nullptr;
    return dlsym(module, name);
}

void freeLibrary(ModuleHandle module) {
    if (module != nullptr) dlclose(module);
}

// RTLD_NOLOAD answers with the handle of a library that is already loaded (matched by name or by
// file identity) and adds a reference, which dlclose takes back at once. The handle stays valid
// because the library's own references keep it loaded.
ModuleHandle findLoadedModule(const char* path) {
    if (path == nullptr) return nullptr;
    void* module = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (module != nullptr) dlclose(module);
    return module;
}

} // namespace kov::platform
