// Provider libraries. findLoadedModule uses GetModuleHandleA, which neither loads the library nor
// adds a reference: registration asks whether a library is already in the process without
// changing how long it stays there.
#include "platform/faults.h"
#include "platform/win32/win32.h"

namespace kov::platform {

using win32::asModule;

ModuleHandle loadLibrary(const char* path) {
    if (faults::shouldFail(faults::Fault::LoadLibrary)) return nullptr;
    if (path == nullptr) return nullptr; // LoadLibraryA(NULL) fails anyway; say so without asking
    return LoadLibraryA(path);
}

void* findSymbol(ModuleHandle module, const char* name) {
    if (faults::shouldFail(faults::Fault::FindSymbol)) return nullptr;
    if (module == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(asModule(module), name));
}

void freeLibrary(ModuleHandle module) {
    if (module != nullptr) FreeLibrary(asModule(module));
}

ModuleHandle findLoadedModule(const char* path) {
    // GetModuleHandleA(NULL) would answer with the program itself, which is never a provider.
    if (path == nullptr) return nullptr;
    return GetModuleHandleA(path);
}

} // namespace kov::platform
