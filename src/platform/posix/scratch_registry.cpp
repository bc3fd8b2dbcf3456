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

struct Setting {
    bool had = false;
    std::string value;
    void save(const char* name) {
        const char* now = std::getenv(name);
        had = now != nullptr;
        value = now != nullptr ? now : "";
    }
    void restore(const char* name) const {
        if (had)
            setenv(name, value.c_str(), 1);
        else
            unsetenv(name);
    }
};

struct Redirection {
    std::string path; // empty: none
    std::string userPath;
    Setting machine; // KOV_BROKER_REGISTRY from before
    Setting user;    // KOV_BROKER_USER_REGISTRY from before
};

Redirection& redirection() {
    static Redirection r;
    return r;
}

} // namespace

void useScratchRegistry(const char* tag) {
    if (tag == nullptr) {
        posix::setScratchPath(std::string(), std::string());
        return;
    }
    // The user's layer too: a test must never read the registry of whoever runs it.
    posix::setScratchPath(freshDatabase("kov_registry_", tag), freshDatabase("kov_user_registry_", tag));
}

void redirectMachineRegistry(const char* tag) {
    Redirection& r = redirection();
    if (!r.path.empty()) {
        for (const std::string& path : {r.path, r.userPath}) {
            posix::closeDatabase(path);
            removeDatabaseFiles(path);
        }
        r.machine.restore("KOV_BROKER_REGISTRY");
        r.user.restore("KOV_BROKER_USER_REGISTRY");
        r = Redirection{};
    }
    if (tag == nullptr) return;
    r.machine.save("KOV_BROKER_REGISTRY");
    r.user.save("KOV_BROKER_USER_REGISTRY");
    r.path = freshDatabase("kov_machine_registry_", tag);
    r.userPath = freshDatabase("kov_user_registry_", tag);
    setenv("KOV_BROKER_REGISTRY", r.path.c_str(), 1);
    setenv("KOV_BROKER_USER_REGISTRY", r.userPath.c_str(), 1);
}

void dropScratchRegistry() {
    const std::string path = posix::scratchPath();
    const std::string userPath = posix::scratchUserPath();
    posix::setScratchPath(std::string(), std::string());
    for (const std::string& file : {path, userPath}) {
        if (file.empty()) continue;
        posix::closeDatabase(file);
        removeDatabaseFiles(file);
    }
}

} // namespace kov::platform::testing
