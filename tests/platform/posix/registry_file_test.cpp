// The SQLite registry as a file: where it lives, what happens when it cannot be used, and
// several processes sharing it.
#include "platform/platform.h"
#include "platform/posix/registry_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kov::platform {
namespace {

using test::posix::readFile;
using test::posix::runChild;
using test::posix::subkeys;
using test::posix::valueNames;
using test::posix::ScopedEnv;
namespace fs = test::posix::fs;

constexpr long kFileNotFound = 2;
constexpr long kBadPathname = 161;
constexpr long kBadDatabase = 1009; // ERROR_BADDB

constexpr const char* kProviderList = "Software\\KOV_Broker\\Provider List";

class PlatformRegistryFile : public test::posix::TempFolderTest {};

TEST_F(PlatformRegistryFile, RegistrationIsSeenByOtherProcesses) {
    const ScopedEnv registry("KOV_BROKER_REGISTRY", (dir / "registry.db").string());
    const std::string demoKey = std::string(kProviderList) + "\\Demo";
    RegKey provider = nullptr;
    ASSERT_EQ(kRegOk, createKey(localMachineKey(), demoKey.c_str(), nullptr, &provider, nullptr));
    ASSERT_EQ(kRegOk, setDwordValue(provider, "/opt/demo/libdemo.so", 0));

    // The child inherits this process's open connection and must not use it.
    const int child = runChild([&] {
        RegKey key = nullptr;
        std::uint32_t disposition = 0;
        if (createKey(localMachineKey(), demoKey.c_str(), nullptr, &key, &disposition) != kRegOk)
            return 1;
        if (disposition != kRegOpenedExistingKey) return 2;
        char name[400];
        std::uint8_t data[8] = {0xFF, 0xFF, 0xFF, 0xFF};
        if (enumValue(key, 0, name, sizeof name, data, sizeof data) != kRegOk) return 3;
        if (std::string(name) != "/opt/demo/libdemo.so" || data[0] != 0 || data[3] != 0) return 4;
        if (setDwordValue(key, "/opt/demo/libsecond.so", 0) != kRegOk) return 5;
        closeKey(key);
        return 0;
    });
    EXPECT_EQ(0, child);
    EXPECT_EQ((std::vector<std::string>{"/opt/demo/libdemo.so", "/opt/demo/libsecond.so"}),
              valueNames(provider));
    closeKey(provider);
}

TEST_F(PlatformRegistryFile, ProcessesRegisteringAtOnceLoseNothing) {
    const ScopedEnv registry("KOV_BROKER_REGISTRY", (dir / "registry.db").string());
    constexpr int kProcesses = 4;
    constexpr int kKeysEach = 25;
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char ignored;
            (void)read(gate[0], &ignored, 1); // returns at EOF: every child starts at once
            int failures = 0;
            for (int i = 0; i < kKeysEach; ++i) {
                const std::string suffix = std::to_string(p) + "_" + std::to_string(i);
                const std::string name = std::string(kProviderList) + "\\p" + suffix;
                RegKey key = nullptr;
                std::uint32_t disposition = 0;
                if (createKey(localMachineKey(), name.c_str(), nullptr, &key, &disposition) != kRegOk ||
                    disposition != kRegCreatedNewKey) {
                    ++failures;
                    continue;
                }
                if (setDwordValue(key, ("lib" + suffix + ".so").c_str(), 0) != kRegOk) ++failures;
                closeKey(key);
            }
            _exit(failures);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(0, WEXITSTATUS(status)) << "failed registrations in child " << pid;
    }

    RegKey list = nullptr;
    ASSERT_EQ(kRegOk, createKey(localMachineKey(), kProviderList, nullptr, &list, nullptr));
    const std::vector<std::string> names = subkeys(list);
    EXPECT_EQ(static_cast<std::size_t>(kProcesses * kKeysEach), names.size());
    for (const std::string& name : names) {
        RegKey provider = nullptr;
        ASSERT_EQ(kRegOk, createKey(list, name.c_str(), nullptr, &provider, nullptr));
        EXPECT_EQ(std::vector<std::string>{"lib" + name.substr(1) + ".so"}, valueNames(provider));
        closeKey(provider);
    }
    closeKey(list);
}

TEST_F(PlatformRegistryFile, MissingFoldersAreCreatedAndThePathIsReadOnEveryUse) {
    const fs::path first = dir / "machine" / "lib" / "registry.db";
    const fs::path second = dir / "other.db";
    RegKey inFirst = nullptr;
    {
        const ScopedEnv registry("KOV_BROKER_REGISTRY", first.string());
        std::uint32_t disposition = 0;
        ASSERT_EQ(kRegOk, createKey(localMachineKey(), "Software\\Only", nullptr, &inFirst, &disposition));
        EXPECT_EQ(kRegCreatedNewKey, disposition);
        EXPECT_TRUE(fs::is_regular_file(first));
    }
    {
        const ScopedEnv registry("KOV_BROKER_REGISTRY", second.string());
        RegKey inSecond = nullptr;
        std::uint32_t disposition = 0;
        ASSERT_EQ(kRegOk, createKey(localMachineKey(), "Software\\Only", nullptr, &inSecond, &disposition));
        EXPECT_EQ(kRegCreatedNewKey, disposition);
        closeKey(inSecond);
        // A key opened earlier stays with the file it was opened in.
        EXPECT_EQ(kRegOk, setDwordValue(inFirst, "first.so", 1));
    }
    const ScopedEnv registry("KOV_BROKER_REGISTRY", first.string());
    RegKey again = nullptr;
    std::uint32_t disposition = 0;
    ASSERT_EQ(kRegOk, createKey(localMachineKey(), "Software\\Only", nullptr, &again, &disposition));
    EXPECT_EQ(kRegOpenedExistingKey, disposition);
    EXPECT_EQ(std::vector<std::string>{"first.so"}, valueNames(again));
    closeKey(again);
    closeKey(inFirst);
}

TEST_F(PlatformRegistryFile, UnopenableRegistryRefusesCreateKey) {
    // A regular file where the folder should be: no mkdir or open can succeed, even as root.
    std::ofstream(dir / "blocker") << "x";
    const ScopedEnv registry("KOV_BROKER_REGISTRY", (dir / "blocker" / "registry.db").string());
    RegKey key = reinterpret_cast<RegKey>(&key);
    std::uint32_t disposition = 0;
    EXPECT_NE(kRegOk, createKey(localMachineKey(), kProviderList, nullptr, &key, &disposition));
    EXPECT_EQ(nullptr, key);
    char name[300];
    EXPECT_NE(kRegOk, enumKey(localMachineKey(), 0, name, sizeof name));
}

TEST_F(PlatformRegistryFile, FileThatIsNotADatabaseIsRefusedAndLeftAlone) {
    const fs::path path = dir / "registry.db";
    const std::string content = "these are somebody's notes, not a registry\n" + std::string(2000, '.');
    std::ofstream(path, std::ios::binary) << content;
    const ScopedEnv registry("KOV_BROKER_REGISTRY", path.string());
    RegKey key = nullptr;
    EXPECT_NE(kRegOk, createKey(localMachineKey(), kProviderList, nullptr, &key, nullptr));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(content, readFile(path));
}

TEST_F(PlatformRegistryFile, DroppingTheScratchRegistryRemovesItsFiles) {
    const ScopedEnv tmp("TMPDIR", dir.string());
    testing::useScratchRegistry("posix drop/test");
    RegKey key = nullptr;
    ASSERT_EQ(kRegOk, createKey(localMachineKey(), "Software\\Scratch", nullptr, &key, nullptr));
    ASSERT_EQ(kRegOk, setDwordValue(key, "x.so", 0));
    EXPECT_FALSE(fs::is_empty(dir));
    testing::dropScratchRegistry();
    EXPECT_TRUE(fs::is_empty(dir));
    // A handle into the dropped registry fails and does not bring the file back.
    EXPECT_EQ(1018, setDwordValue(key, "y.so", 0)); // ERROR_KEY_DELETED
    EXPECT_TRUE(fs::is_empty(dir));
    closeKey(key);
}

// Reading a registry nobody has written to must not bring one into being: `kovctl list` with a
// mistyped path would otherwise leave folders and a database behind.
TEST_F(PlatformRegistryFile, ReadingAMissingRegistryCreatesNothing) {
    const fs::path folder = dir / "not" / "there";
    const fs::path file = folder / "registry.db";
    const ScopedEnv registry("KOV_BROKER_REGISTRY", file.string());
    RegKey key = nullptr;
    EXPECT_EQ(kFileNotFound, openKey(localMachineKey(), kProviderList, &key));
    EXPECT_EQ(nullptr, key);
    char name[300];
    std::uint8_t data[4];
    std::uint32_t count = 7;
    EXPECT_EQ(kRegNoMoreItems, enumKey(localMachineKey(), 0, name, sizeof name));
    EXPECT_EQ(kRegNoMoreItems, enumValue(localMachineKey(), 0, name, sizeof name, data, sizeof data));
    EXPECT_EQ(kRegOk, queryValueCount(localMachineKey(), &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(kFileNotFound, deleteValue(localMachineKey(), "x.so"));
    EXPECT_EQ(kFileNotFound, deleteKey(localMachineKey(), "Software"));
    EXPECT_EQ(kRegOk, flushKey(localMachineKey()));
    EXPECT_FALSE(fs::exists(dir / "not"));

    // Writing creates it, and then opening finds what was written.
    ASSERT_EQ(kRegOk, createKey(localMachineKey(), kProviderList, nullptr, &key, nullptr));
    closeKey(key);
    EXPECT_TRUE(fs::is_regular_file(file));
    ASSERT_EQ(kRegOk, openKey(localMachineKey(), kProviderList, &key));
    closeKey(key);
}

TEST_F(PlatformRegistryFile, AnEmptySettingNamesNoRegistry) {
    const ScopedEnv registry("KOV_BROKER_REGISTRY", "");
    RegKey key = nullptr;
    EXPECT_EQ(kBadPathname, createKey(localMachineKey(), "Software", nullptr, &key, nullptr));
    EXPECT_EQ(kBadPathname, openKey(localMachineKey(), "Software", &key));
    EXPECT_EQ(kBadPathname, setDwordValue(localMachineKey(), "x.so", 0));
    EXPECT_EQ(nullptr, key);
}

TEST_F(PlatformRegistryFile, AFileThatIsNoDatabaseIsNamedSo) {
    const fs::path file = dir / "notes.txt";
    std::ofstream(file) << std::string(4096, 'x');
    const ScopedEnv registry("KOV_BROKER_REGISTRY", file.string());
    RegKey key = nullptr;
    EXPECT_EQ(kBadDatabase, createKey(localMachineKey(), "Software", nullptr, &key, nullptr));
    EXPECT_EQ(kBadDatabase, openKey(localMachineKey(), "Software", &key));
    EXPECT_EQ(std::string(4096, 'x'), readFile(file)); // left as it was
}

} // namespace
} // namespace kov::platform
