// Paths as this file system reads them: "/" alone starts an absolute path, and case matters.
#include "platform/platform.h"

#include <filesystem>
#include <system_error>

namespace kov::platform {

std::string absolutePath(const std::string& path) {
    if (path.empty()) return {};
    std::error_code error;
    const std::filesystem::path full = std::filesystem::absolute(path, error);
    if (error) return {};
    std::string normal = full.lexically_normal().string();
    // "/x/lib/" names no library; keep what was given rather than invent a folder's name.
    if (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

std::string pathKey(const std::string& path) { return absolutePath(path); }

bool isRelativePath(const char* path) { return path != nullptr && path[0] != '/'; }

} // namespace kov::platform
