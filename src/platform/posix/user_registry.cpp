// The user's own registry: where it lives, and whether this process may read providers from it.
#include "platform/faults.h"
#include "platform/platform.h"
#include "registry_store.h"

#include <sys/auxv.h>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace kov::platform {
namespace {

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// As ssh judges a key file: owned by this user (or root), and written by nobody else. Empty when
// the file (or folder) passes or does not exist; a registry nobody wrote yet holds nothing. In a
// sticky folder (/tmp) others may add files but not replace or remove this user's.
std::string unsafeBecause(const std::string& path, const char* what, bool folder) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return {};
    const uid_t me = geteuid();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    if (status.st_uid != me && status.st_uid != 0)
        return std::string(what) + " " + path + " belongs to user " +
               std::to_string(static_cast<long>(status.st_uid)) + ", not to this user (" +
               std::to_string(static_cast<long>(me)) + ")";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(folder && (status.st_mode & S_ISVTX) != 0))
        return std::string(what) + " " + path + " may be written by " +
               ((status.st_mode & S_IWOTH) != 0 ? "every user" : "its group") + " (mode " + mode +
               ")";
    return {};
}

} // namespace

RegKey currentUserKey() { return &posix::userRootKey(); }

std::string userRegistryLocation(const char* /*keyPath*/) { return posix::userRegistryPath(); }

UserLayerCheck checkUserLayer() {
    UserLayerCheck check;
    // AT_SECURE: the loader's own sign of a set-user-id, set-group-id or capability-raising
    // program, which also makes it ignore LD_LIBRARY_PATH.
    if (faults::elevatedAsPretended(getauxval(AT_SECURE) != 0)) {
        check.state = UserLayerCheck::State::Elevated;
        check.reason = "this program runs with rights its user does not have (set-user-id or "
                       "set-group-id): it reads the machine's registry alone";
        return check;
    }
    const std::string file = posix::userRegistryPath();
    if (file.empty()) {
        check.state = UserLayerCheck::State::NotNamed;
        return check;
    }
    std::string reason = unsafeBecause(file, "the file", false);
    if (reason.empty()) reason = unsafeBecause(folderOf(file), "the folder", true);
    if (!reason.empty()) {
        check.state = UserLayerCheck::State::Unsafe;
        check.reason = "the user's registry is not used: " + reason +
                       "; only its owner may write it";
    }
    return check;
}

} // namespace kov::platform
