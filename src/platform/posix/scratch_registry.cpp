// Test hook: a throw-away registry file per process, so unit tests never touch the real one.
#include "platform/platform.h"
#include "registry_store.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kov::platform::testing {
namespace {

// The database and the side files SQLite may leave beside it.
void removeDatabaseFiles(const std::string& path) {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

std::string safeTag(const char* tag) {
    std::string safe = tag;
    for (char& c : safe) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!plain) c = '_';
    }
    return safe;
}

// A fresh, empty database file in the temporary folder, named after `prefix`, `tag` and the
// process id.
std::string freshDatabase(const char* prefix, const char* tag) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
    const std::string path = folder + "/" + prefix + safeTag(tag) + "_" +
                             std::to_string(static_cast<long>(getpid())) + ".db";
    posix::closeDatabase(path);
    removeDatabaseFiles(path);
    return path;
}

struct Redirection {
    std::string path; // empty: none
    bool hadSetting = false;
    std::string setting; // KOV_BROKER_REGISTRY from before
};

Redirection& redirection() {
    static Redirection r;
    return r;
}

} // namespace

void useScratchRegistry(const char* tag) {
    if (tag == nullptr) {
        posix::setScratchPath(std::string());
        return;
    }
    posix::setScratchPath(freshDatabase("kov_registry_", tag));
}

void redirectMachineRegistry(const char* tag) {
    Redirection& r = redirection();
    if (!r.path.empty()) {
        posix::closeDatabase(r.path);
        removeDatabaseFiles(r.path);
        if (r.hadSetting)
            setenv("KOV_BROKER_REGISTRY", r.setting.c_str(), 1);
        else
            unsetenv("KOV_BROKER_REGISTRY");
        r = Redirection{};
    }
    if (tag == nullptr) return;
    const char* setting = std::getenv("KOV_BROKER_REGISTRY");
    r.hadSetting = setting != nullptr;
    r.setting = setting != nullptr ? setting : "";
    r.path = freshDatabase("kov_machine_registry_", tag);
    setenv("KOV_BROKER_REGISTRY", r.path.c_str(), 1);
}

void dropScratchRegistry() {
    const std::string path = posix::scratchPath();
    posix::setScratchPath(std::string());
    if (path.empty()) return;
    posix::closeDatabase(path);
    removeDatabaseFiles(path);
}

} // namespace kov::platform::testing
