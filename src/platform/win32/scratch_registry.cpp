// The root of the broker's registry work: HKEY_LOCAL_MACHINE, or, while a unit test asks for it,
// a private key under HKEY_CURRENT_USER, so tests never write to the machine's registry. A
// benchmark that loads the real module redirects HKEY_LOCAL_MACHINE itself, for the whole process.
#include "platform/win32/win32.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kov::platform {
namespace {

constexpr const char* kScratchParent = "Software\\KOV_Broker_Scratch";

std::atomic<HKEY> scratchKey{nullptr};
std::string scratchPath; // touched only by the test hooks, which run on one thread
// The user's layer beside it, so that a test never reads the registry of whoever runs it.
std::atomic<HKEY> scratchUserKey{nullptr};
std::string scratchUserPath;

HKEY machineOverride = nullptr; // set and cleared by the test hooks only
std::string machineOverridePath;

void forgetScratch() {
    for (std::atomic<HKEY>* held : {&scratchKey, &scratchUserKey}) {
        const HKEY key = held->exchange(nullptr);
        if (key != nullptr) RegCloseKey(key);
    }
}

// A fresh, empty key under HKEY_CURRENT_USER, named after `tag` and the process id; `path`
// receives its name. Stops the process when it cannot be made: carrying on would send a test's
// writes to the machine's own registry.
HKEY freshScratchKey(const char* tag, std::string& path) {
    path = std::string(kScratchParent) + "\\" + tag + "_" + std::to_string(GetCurrentProcessId());
    // A key left by an earlier process with the same id must not leak into this run.
    RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    HKEY key = nullptr;
    const LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot create scratch registry HKCU\\%s (error %ld)\n", path.c_str(),
                     static_cast<long>(rc));
        std::abort();
    }
    return key;
}

void deleteScratchKey(const std::string& path) {
    RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    // Only succeeds once no other process keeps a scratch key there, which is what we want.
    RegDeleteKeyA(HKEY_CURRENT_USER, kScratchParent);
}

} // namespace

namespace win32 {
HKEY rootKey() {
    const HKEY scratch = scratchKey.load();
    return scratch != nullptr ? scratch : HKEY_LOCAL_MACHINE;
}
} // namespace win32

RegKey localMachineKey() { return win32::rootKey(); }

RegKey currentUserKey() {
    const HKEY scratch = scratchUserKey.load();
    return scratch != nullptr ? scratch : HKEY_CURRENT_USER;
}

std::string registryLocation(const char* keyPath) {
    const std::string root =
        scratchKey.load() != nullptr ? "HKEY_CURRENT_USER\\" + scratchPath : "HKEY_LOCAL_MACHINE";
    return keyPath != nullptr && keyPath[0] != '\0' ? root + "\\" + keyPath : root;
}

std::string userRegistryLocation(const char* keyPath) {
    const std::string root = scratchUserKey.load() != nullptr
                                 ? "HKEY_CURRENT_USER\\" + scratchUserPath
                                 : "HKEY_CURRENT_USER";
    return keyPath != nullptr && keyPath[0] != '\0' ? root + "\\" + keyPath : root;
}

namespace testing {

void useScratchRegistry(const char* tag) {
    forgetScratch();
    if (tag == nullptr) return;
    scratchKey.store(freshScratchKey(tag, scratchPath));
    const std::string user = std::string("user_") + tag;
    scratchUserKey.store(freshScratchKey(user.c_str(), scratchUserPath));
}

void dropScratchRegistry() {
    if (scratchKey.load() == nullptr) return;
    forgetScratch();
    deleteScratchKey(scratchUserPath);
    deleteScratchKey(scratchPath);
    scratchPath.clear();
    scratchUserPath.clear();
}

void redirectMachineRegistry(const char* tag) {
    if (machineOverride != nullptr) {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegCloseKey(machineOverride);
        machineOverride = nullptr;
        deleteScratchKey(machineOverridePath);
        machineOverridePath.clear();
    }
    if (tag == nullptr) return;
    const std::string name = std::string("machine_") + tag;
    const HKEY key = freshScratchKey(name.c_str(), machineOverridePath);
    const LONG rc = RegOverridePredefKey(HKEY_LOCAL_MACHINE, key);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot redirect HKEY_LOCAL_MACHINE (error %ld)\n",
                     static_cast<long>(rc));
        std::abort();
    }
    machineOverride = key;
}

} // namespace testing
} // namespace kov::platform
