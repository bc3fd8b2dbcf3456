// The Win32 backend's only door to <windows.h>: every file in this folder includes this header
// instead, so the trimming macros are the same everywhere and min/max stay the standard ones.
// Nothing outside src/platform/win32 may include it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// These A/W-switching macros would rename our own identifiers (the fault kinds among them). The
// backend always calls the ANSI forms by their full names, so nothing needs them.
#undef CreateEvent
#undef LoadLibrary
#undef LoadString

#include "platform/platform.h"

// The broker hands these records around as raw 32-bit blocks; the system's layout must match.
static_assert(sizeof(SECURITY_ATTRIBUTES) == 12, "SECURITY_ATTRIBUTES is a 12-byte record");
static_assert(sizeof(SECURITY_DESCRIPTOR) == kov::platform::kSecurityDescriptorSize,
              "an absolute security descriptor is 20 bytes on i686");

namespace kov::platform::win32 {

inline HANDLE asHandle(void* handle) { return static_cast<HANDLE>(handle); }
inline HKEY asKey(RegKey key) { return static_cast<HKEY>(key); }
inline HMODULE asModule(ModuleHandle module) { return static_cast<HMODULE>(module); }

// The interface takes security attributes as an opaque const record; the system calls only read
// them but are declared with a non-const pointer.
inline LPSECURITY_ATTRIBUTES asAttributes(const void* security) {
    return static_cast<LPSECURITY_ATTRIBUTES>(const_cast<void*>(security));
}

// The key localMachineKey() hands out; registry.cpp keeps callers from closing it.
HKEY rootKey();

} // namespace kov::platform::win32
