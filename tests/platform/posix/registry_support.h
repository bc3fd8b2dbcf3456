// What the POSIX registry tests share: a private folder per test, an environment setting undone
// at scope exit, running part of a test in a child process (as another user, too), and reading
// a key's subkeys and values.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace kov::test::posix {

namespace fs = std::filesystem;

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

// Runs `body` in a child process and returns its exit code (-1 if it did not exit normally).
// The child never returns into the test framework.
inline int runChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The unprivileged account tests switch to when they run as root ("nobody" on Debian).
constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

// In a child: gives up root for `nobody`; false when that fails.
inline bool becomeNobody() {
    return setgroups(0, nullptr) == 0 && setgid(kNoGroup) == 0 && setuid(kNobody) == 0 &&
           geteuid() == kNobody;
}

inline std::vector<std::string> subkeys(platform::RegKey key) {
    std::vector<std::string> names;
    char name[300];
    for (std::uint32_t i = 0; platform::enumKey(key, i, name, sizeof name) == platform::kRegOk; ++i)
        names.push_back(name);
    return names;
}

inline std::vector<std::string> valueNames(platform::RegKey key) {
    std::vector<std::string> names;
    char name[400];
    std::uint8_t data[8];
    for (std::uint32_t i = 0; platform::enumValue(key, i, name, sizeof name, data, sizeof data) ==
                              platform::kRegOk;
         ++i)
        names.push_back(name);
    return names;
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh folder under $TMPDIR (or /tmp) for each test, removed afterwards.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                              "/kov_registry_file_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

} // namespace kov::test::posix
