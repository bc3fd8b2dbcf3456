// The module's entry point. Thread notifications are switched off: a thread's slot goes back
// through its fiber-local callback instead.
#include "platform/win32/win32.h"
#include "runtime/process.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        return kov::runtime::processAttach(instance) ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        // The loader also sends a detach after a refused attach; there is nothing to undo then.
        // A non-null reserved pointer means the whole process is ending, not just this module:
        // its other threads are gone already, stopped wherever they were.
        if (kov::runtime::attached()) kov::runtime::processDetach(reserved != nullptr);
        return TRUE;
    default:
        return TRUE;
    }
}
