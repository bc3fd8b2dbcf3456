// An open registry key that is closed on every path.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace kov::registry {

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() { close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens `name` under `parent`, creating it when missing, with read and write access.
    // security null: the parent's default security.
    bool open(platform::RegKey parent, const char* name, const void* security = nullptr) {
        close();
        if (platform::createKey(parent, name, security, &key_, &disposition_) == platform::kRegOk)
            return true;
        key_ = nullptr;
        return false;
    }
    // Opens `name` only if it exists, for reading: loading providers must not create keys, nor
    // on POSIX the registry file, in a process that only sends.
    // Answers the registry's result: kRegFileNotFound for a key that does not exist.
    long openExisting(platform::RegKey parent, const char* name) {
        close();
        disposition_ = platform::kRegOpenedExistingKey;
        const long rc = platform::openKey(parent, name, &key_);
        if (rc != platform::kRegOk) key_ = nullptr;
        return rc;
    }
    void close() {
        if (key_ != nullptr) platform::closeKey(key_);
        key_ = nullptr;
    }
    platform::RegKey get() const { return key_; }
    bool existedBefore() const { return disposition_ == platform::kRegOpenedExistingKey; }

private:
    platform::RegKey key_ = nullptr;
    std::uint32_t disposition_ = 0;
};

} // namespace kov::registry
