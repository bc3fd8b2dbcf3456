// Why this process may not write the registry database, for the admin tool's messages: the file
// itself, or the folder SQLite writes its journal into (and creates the file in). The same
// effective rights as the registry's own check (registry_store.cpp) are asked.
#include "registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kov::platform {
namespace {

bool mayAccess(const std::string& path, int mode) {
    return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ownerName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    return "user " + std::to_string(uid);
}

RegistryWriteDenial denied(RegistryWriteDenial::Cause cause, const std::string& path,
                           const struct stat& status) {
    RegistryWriteDenial denial;
    denial.cause = cause;
    denial.path = path;
    denial.owner = ownerName(status.st_uid);
    denial.yours = status.st_uid == geteuid();
    denial.mode = status.st_mode & 07777;
    return denial;
}

} // namespace

RegistryWriteDenial registryWriteDenial() {
    const std::string file = posix::currentRegistryPath();
    if (file.empty()) return {};
    struct stat status {};
    if (stat(file.c_str(), &status) == 0 && !S_ISDIR(status.st_mode) && !mayAccess(file, W_OK))
        return denied(RegistryWriteDenial::Cause::File, file, status);
    // The nearest folder that exists: the journal goes there, and so does a file yet to be made.
    std::string folder = folderOf(file);
    while (stat(folder.c_str(), &status) != 0 && folder != "/" && folder != ".")
        folder = folderOf(folder);
    if (!mayAccess(folder, W_OK | X_OK))
        return denied(RegistryWriteDenial::Cause::Folder, folder, status);
    return {};
}

} // namespace kov::platform
