// Paths as Windows reads them: a drive or a separator starts an absolute path, either slash
// separates, and file names ignore case.
#include "platform/win32/win32.h"

#include <vector>

namespace kov::platform {

std::string absolutePath(const std::string& path) {
    if (path.empty()) return {};
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        // Resolves "." and ".." by name, against the current folder (of the drive, for "C:x").
        const DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()),
                                              buffer.data(), nullptr);
        if (length == 0) return {};
        if (length < buffer.size()) return std::string(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

std::string pathKey(const std::string& path) {
    std::string key = absolutePath(path);
    if (!key.empty()) CharUpperBuffA(key.data(), static_cast<DWORD>(key.size()));
    for (char& c : key)
        if (c == '/') c = '\\';
    return key;
}

bool isRelativePath(const char* path) {
    if (path == nullptr) return false;
    if (path[0] == '\\' || path[0] == '/') return false;
    const char letter = static_cast<char>(path[0] | 0x20);
    return !(letter >= 'a' && letter <= 'z' && path[1] == ':');
}

} // namespace kov::platform
