// Private to the Win32 backend: the DLL names in a PE image's import directory, read from the
// file's bytes, so a failed load can name the dependency the loader did not find.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kov::platform::win32 {

// The modules `image` (a whole DLL or EXE file) imports, in table order; empty when the bytes are
// no PE image or it imports nothing. Every offset is checked against `size`: the file is whatever
// somebody registered, not trusted.
std::vector<std::string> importedModules(const unsigned char* image, std::size_t size);

} // namespace kov::platform::win32
