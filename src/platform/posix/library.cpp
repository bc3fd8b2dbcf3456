// Provider libraries through the dynamic loader.
#include "platform/faults.h"
#include "platform/platform.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdio>

namespace kov::platform {
namespace {

// This thread's last load failure: dlerror()'s own text, or a text of ours. Only a pointer: the
// module's thread-locals must stay a few words (see KOV_FAST_THREAD_LOCAL). The loader frees its
// text at the thread's next call into it, so every such call here forgets it first: a late ask
// gets an empty text, never freed memory.
KOV_FAST_THREAD_LOCAL const char* loadFailure = "";

void noteLoadFailure(const char* text) { loadFailure = text != nullptr ? text : "unknown error"; }
void forgetLoadFailure() { loadFailure = ""; }

} // namespace

// RTLD_LOCAL keeps one provider's symbols from resolving another's: each provider exports the
// same three names.
ModuleHandle loadLibrary(const char* path) {
    if (faults::shouldFail(faults::Fault::LoadLibrary)) {
        noteLoadFailure("the load was failed on purpose (fault injection)");
        return nullptr;
    }
    if (path == nullptr) {
        noteLoadFailure("no library path");
        return nullptr;
    }
    forgetLoadFailure();
    ModuleHandle module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) noteLoadFailure(dlerror());
    return module;
}

void* findSymbol(ModuleHandle module, const char* name) {
    if (faults::shouldFail(faults::Fault::FindSymbol)) return nullptr;
    if (module == nullptr || name == nullptr) return nullptr;
    forgetLoadFailure();
    return dlsym(module, name);
}

void lastLoadFailure(char* buffer, std::size_t size) {
    if (buffer != nullptr && size > 0) std::snprintf(buffer, size, "%s", loadFailure);
}

// The loader's own record: for a name it searched for, the file it found; for a path, the path
// as given (relative ones stay relative: they were resolved against the current folder).
std::string modulePath(ModuleHandle module) {
    if (module == nullptr) return {};
    forgetLoadFailure();
    link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return {};
    return map->l_name;
}

void freeLibrary(ModuleHandle module) {
    if (module == nullptr) return;
    forgetLoadFailure();
    dlclose(module);
}

// RTLD_NOLOAD answers with the handle of a library that is already loaded (matched by name or by
// file identity) and adds a reference, which dlclose takes back at once. The handle stays valid
// because the library's own references keep it loaded.
ModuleHandle findLoadedModule(const char* path) {
    if (path == nullptr) return nullptr;
    forgetLoadFailure();
    void* module = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (module != nullptr) dlclose(module);
    return module;
}

} // namespace kov::platform
