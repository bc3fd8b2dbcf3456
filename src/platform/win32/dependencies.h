// Private to the Win32 backend: what lies behind ERROR_MOD_NOT_FOUND.
#pragma once

#include "platform/win32/win32.h"

#include <string>

namespace kov::platform::win32 {

// Called right after LoadLibraryA(path) failed with ERROR_MOD_NOT_FOUND: "there is no file X",
// or "the loader cannot find Y.dll (needed by X.dll), ..." (every DLL of the import tree found
// nowhere the loader looks, each with the file that imports it). Empty when neither explains it.
// Reads files and searches folders only; loads nothing.
std::string explainModuleNotFound(const char* path);

} // namespace kov::platform::win32
