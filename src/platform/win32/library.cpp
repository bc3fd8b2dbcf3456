// Provider libraries. findLoadedModule uses GetModuleHandleA, which neither loads the library nor
// adds a reference: registration asks whether a library is already in the process without
// changing how long it stays there.
#include "platform/faults.h"
#include "platform/win32/dependencies.h"
#include "platform/win32/win32.h"

#include <cstdio>
#include <vector>

namespace kov::platform {
namespace {

// The error code is taken at once: any later system call may overwrite GetLastError().
thread_local DWORD loadError = 0;
thread_local const char* loadFailureText = nullptr; // for failures that are not the system's
// What the system's "module not found" leaves out (see dependencies.h); empty when nothing.
thread_local char loadFailureDetail[400] = "";

void explainFailure(const char* path) {
    loadFailureDetail[0] = '\0';
    if (loadError != ERROR_MOD_NOT_FOUND) return;
    try {
        const std::string detail = win32::explainModuleNotFound(path);
        std::snprintf(loadFailureDetail, sizeof loadFailureDetail, "%s", detail.c_str());
    } catch (...) {
        // Without memory for the explanation the system's own message has to do.
    }
}

} // namespace

using win32::asModule;

ModuleHandle loadLibrary(const char* path) {
    loadError = 0;
    loadFailureText = nullptr;
    loadFailureDetail[0] = '\0';
    if (faults::shouldFail(faults::Fault::LoadLibrary)) {
        loadFailureText = "the load was failed on purpose (fault injection)";
        return nullptr;
    }
    if (path == nullptr) { // LoadLibraryA(NULL) fails anyway; say so without asking
        loadFailureText = "no library path";
        return nullptr;
    }
    // No "cannot find a DLL" dialog box in the host's face: the error code says it all. Only this
    // thread's mode changes, and only for the call.
    DWORD previousMode = 0;
    const BOOL quiet =
        SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) loadError = GetLastError();
    if (quiet) SetThreadErrorMode(previousMode, nullptr);
    if (module == nullptr && loadError == 0) loadFailureText = "the loader gave no reason";
    if (module == nullptr) explainFailure(path);
    return module;
}

void* findSymbol(ModuleHandle module, const char* name) {
    if (faults::shouldFail(faults::Fault::FindSymbol)) return nullptr;
    if (module == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(asModule(module), name));
}

void lastLoadFailure(char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return;
    buffer[0] = '\0';
    if (loadFailureText != nullptr) {
        std::snprintf(buffer, size, "%s", loadFailureText);
        return;
    }
    if (loadError == 0) return;
    char text[400] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, loadError, 0, text, sizeof text, nullptr);
    // System messages end in CR LF; the report adds its own line breaks.
    DWORD end = n;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' '))
        --end;
    text[end < sizeof text ? end : sizeof text - 1] = '\0';
    std::snprintf(buffer, size, "%s (error %lu)%s%s", end > 0 ? text : "unknown system error",
                  static_cast<unsigned long>(loadError), loadFailureDetail[0] != '\0' ? ": " : "",
                  loadFailureDetail);
}

std::string modulePath(ModuleHandle module) {
    if (module == nullptr) return {};
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(asModule(module), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::string(buffer.data(), length);
        buffer.resize(buffer.size() * 2); // cut short: grow until it fits
    }
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
