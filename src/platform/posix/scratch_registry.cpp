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

} // namespace

void useScratchRegistry(const char* tag) {
    if (tag == nullptr) {
        posix::setScratchPath(std::string());
        return;
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
    const std::string path = folder + "/kov_registry_" + safeTag(tag) + "_" +
                             std::to_string(static_cast<long>(getpid())) + ".db";
    posix::closeDatabase(path);
    removeDatabaseFiles(path);
    posix::setScratchPath(path);
}

void dropScratchRegistry() {
    const std::string path = posix::scratchPath();
    posix::setScratchPath(std::string());
    if (path.empty()) return;
    posix::closeDatabase(path);
    removeDatabaseFiles(path);
}

} // namespace kov::platform::testing
