// A registry this process may only read, one in a folder it may not enter, one that is a folder,
// and one another process keeps locked: reading goes on where it can, writing is refused with the
// error a Windows user without the rights gets, and nothing waits for ever.
#include "platform/platform.h"
#include "platform/posix/registry_support.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

namespace kov::platform {
namespace {

using test::posix::becomeNobody;
using test::posix::readFile;
using test::posix::runChild;
using test::posix::valueNames;
using test::posix::ScopedEnv;
namespace fs = test::posix::fs;

constexpr long kAccessDenied = 5;
constexpr long kBusy = 170;
constexpr long kNotAFile = 267; // ERROR_DIRECTORY
constexpr const char* kProviderList = "Software\\KOV_Broker\\Provider List";

bool runningAsRoot() { return geteuid() == 0; }

class PlatformRegistryAccess : public test::posix::TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        // Others must reach the files: mkdtemp makes the folder private.
        chmod(dir.c_str(), 0755);
        file = dir / "registry.db";
    }

    // The registry as an administrator left it: one provider key with two libraries.
    void writeRegistry() {
        const ScopedEnv registry("KOV_BROKER_REGISTRY", file.string());
        RegKey demo = nullptr;
        const std::string name = std::string(kProviderList) + "\\Demo";
        ASSERT_EQ(kRegOk, createKey(localMachineKey(), name.c_str(), nullptr, &demo, nullptr));
        ASSERT_EQ(kRegOk, setDwordValue(demo, "/opt/a.so", 0));
        ASSERT_EQ(kRegOk, setDwordValue(demo, "/opt/b.so", 0));
        closeKey(demo);
        testing::useScratchRegistry(nullptr); // nothing of ours stays bound to the file
    }

    // In a child (as `nobody` when the test runs as root): reads the registry and tries every
    // write. 0 when each read worked and each write was refused; otherwise the failed step.
    int readOnlyChild(bool asNobody) {
        return runChild([&] {
            if (asNobody && !becomeNobody()) return 90;
            const ScopedEnv registry("KOV_BROKER_REGISTRY", file.string());
            RegKey list = nullptr, demo = nullptr, created = nullptr;
            if (openKey(localMachineKey(), kProviderList, &list) != kRegOk) return 1;
            char name[300];
            if (enumKey(list, 0, name, sizeof name) != kRegOk || std::string(name) != "Demo") return 2;
            if (openKey(list, "Demo", &demo) != kRegOk) return 3;
            if (valueNames(demo) != std::vector<std::string>{"/opt/a.so", "/opt/b.so"}) return 4;
            if (createKey(list, "Demo", nullptr, &created, nullptr) != kAccessDenied) return 5;
            if (createKey(list, "Other", nullptr, &created, nullptr) != kAccessDenied) return 6;
            if (created != nullptr) return 7;
            if (setDwordValue(demo, "/opt/c.so", 0) != kAccessDenied) return 8;
            if (deleteValue(demo, "/opt/a.so") != kAccessDenied) return 9;
            if (deleteKey(list, "Demo") != kAccessDenied) return 10;
            if (checkWriteAccess(localMachineKey(), kProviderList) != kAccessDenied) return 11;
            // Reading still works after the refusals.
            if (valueNames(demo).size() != 2) return 12;
            closeKey(demo);
            closeKey(list);
            return 0;
        });
    }

    fs::path file;
};

TEST_F(PlatformRegistryAccess, ARegistryThisProcessMayOnlyReadIsReadAndNeverWritten) {
    struct Case {
        const char* what;
        mode_t fileMode;
        mode_t folderMode;
        bool onlyAsRoot; // the owner of a 0644 file may write it: only another user cannot
    };
    const Case cases[] = {
        {"root's 0644 file, read by nobody", 0644, 0755, true},
        {"0444 file", 0444, 0755, false},
        {"a file anyone may write, in a folder nobody may not", 0666, 0755, true},
    };
    int round = 0;
    for (const Case& c : cases) {
        if (c.onlyAsRoot && !runningAsRoot()) continue;
        SCOPED_TRACE(c.what);
        // A file of its own each time: this process stays connected to the last one.
        file = dir / ("registry" + std::to_string(++round) + ".db");
        writeRegistry();
        chmod(file.c_str(), c.fileMode);
        chmod(dir.c_str(), c.folderMode);
        const std::string before = readFile(file);
        EXPECT_EQ(0, readOnlyChild(runningAsRoot()));
        EXPECT_EQ(before, readFile(file));
        EXPECT_FALSE(fs::exists(file.string() + "-journal"));
        chmod(file.c_str(), 0644);
    }
}

// Rights granted after a read-only start count from the next write on.
TEST_F(PlatformRegistryAccess, WritingWorksOnceTheFileMayBeWritten) {
    writeRegistry();
    chmod(file.c_str(), 0444);
    if (runningAsRoot()) {
        ASSERT_EQ(0, chown(file.c_str(), test::posix::kNobody, test::posix::kNoGroup));
        ASSERT_EQ(0, chown(dir.c_str(), test::posix::kNobody, test::posix::kNoGroup));
    }
    EXPECT_EQ(0, runChild([&] {
        if (runningAsRoot() && !becomeNobody()) return 90;
        const ScopedEnv registry("KOV_BROKER_REGISTRY", file.string());
        RegKey list = nullptr;
        if (openKey(localMachineKey(), kProviderList, &list) != kRegOk) return 1;
        RegKey key = nullptr;
        if (createKey(list, "New", nullptr, &key, nullptr) != kAccessDenied) return 2;
        if (chmod(file.c_str(), 0644) != 0) return 3;
        if (checkWriteAccess(localMachineKey(), kProviderList) != kRegOk) return 4;
        if (createKey(list, "New", nullptr, &key, nullptr) != kRegOk) return 5;
        if (setDwordValue(key, "/opt/new.so", 0) != kRegOk) return 6;
        closeKey(key);
        closeKey(list);
        return 0;
    }));
}

// Only a missing file is an empty registry: one the process may not reach must say so.
TEST_F(PlatformRegistryAccess, AFolderThisProcessMayNotEnterIsNotAnEmptyRegistry) {
    writeRegistry();
    // Root passes every permission check: it shuts out nobody; anyone else, themselves.
    chmod(dir.c_str(), runningAsRoot() ? 0700 : 0);
    EXPECT_EQ(0, runChild([&] {
        if (runningAsRoot() && !becomeNobody()) return 90;
        const ScopedEnv registry("KOV_BROKER_REGISTRY", file.string());
        RegKey key = nullptr;
        if (openKey(localMachineKey(), kProviderList, &key) != kAccessDenied) return 1;
        char name[300];
        if (enumKey(localMachineKey(), 0, name, sizeof name) != kAccessDenied) return 2;
        if (checkWriteAccess(localMachineKey(), kProviderList) != kAccessDenied) return 3;
        return 0;
    }));
    chmod(dir.c_str(), 0755);
}

TEST_F(PlatformRegistryAccess, WriteAccessToARegistryNotYetWrittenIsTheFoldersToGive) {
    const fs::path missing = dir / "sub" / "registry.db";
    {
        const ScopedEnv registry("KOV_BROKER_REGISTRY", missing.string());
        EXPECT_EQ(kRegOk, checkWriteAccess(localMachineKey(), kProviderList));
        EXPECT_EQ(missing.string(), registryLocation(kProviderList));
    }
    EXPECT_FALSE(fs::exists(dir / "sub"));
    if (runningAsRoot()) {
        EXPECT_EQ(0, runChild([&] {
            if (!becomeNobody()) return 90;
            const ScopedEnv registry("KOV_BROKER_REGISTRY", missing.string());
            return checkWriteAccess(localMachineKey(), kProviderList) == kAccessDenied ? 0 : 1;
        }));
    }
}

TEST_F(PlatformRegistryAccess, ARegistryPathThatIsAFolderIsNamedSo) {
    const ScopedEnv registry("KOV_BROKER_REGISTRY", dir.string());
    RegKey key = nullptr;
    EXPECT_EQ(kNotAFile, openKey(localMachineKey(), kProviderList, &key));
    EXPECT_EQ(kNotAFile, createKey(localMachineKey(), kProviderList, nullptr, &key, nullptr));
    EXPECT_EQ(kNotAFile, checkWriteAccess(localMachineKey(), kProviderList));
    EXPECT_EQ(nullptr, key);
    EXPECT_TRUE(fs::is_empty(dir));
}

// Another process holds the database's exclusive lock: a call waits as long as it was told, fails
// with ERROR_BUSY, and works again once the lock is gone.
TEST_F(PlatformRegistryAccess, ALockedRegistryFailsAfterTheWaitAndWorksOnceReleased) {
    writeRegistry();
    int locked[2], release[2];
    ASSERT_EQ(0, pipe(locked));
    ASSERT_EQ(0, pipe(release));
    const pid_t holder = fork();
    if (holder == 0) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
            sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK)
            _exit(1);
        (void)!write(locked[1], "x", 1);
        char ignored;
        (void)!read(release[0], &ignored, 1);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        _exit(0);
    }
    ASSERT_GT(holder, 0);
    char ignored;
    ASSERT_EQ(1, read(locked[0], &ignored, 1));

    const ScopedEnv registry("KOV_BROKER_REGISTRY", file.string());
    setRegistryWait(300);
    RegKey key = nullptr;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kBusy, openKey(localMachineKey(), kProviderList, &key));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(kBusy, createKey(localMachineKey(), kProviderList, nullptr, &key, nullptr));

    ASSERT_EQ(1, write(release[1], "x", 1));
    int status = 0;
    ASSERT_EQ(holder, waitpid(holder, &status, 0));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(kRegOk, openKey(localMachineKey(), kProviderList, &key));
    closeKey(key);
    setRegistryWait(kRegDefaultWaitMs);
}

// The user's registry is used only while nobody else may write it (as ssh judges a key file): the
// file and its folder must not be writable by the group or everyone, except a sticky folder
// (/tmp), where others cannot replace the user's file. One that is no registry is an error of its
// own, and none of this touches the machine's registry.
TEST_F(PlatformRegistryAccess, TheUsersRegistryIsUsedOnlyWhileNobodyElseMayWriteIt) {
    struct Case {
        mode_t folderMode;
        mode_t fileMode; // 0: no file
        const char* refusal; // null: usable
    };
    const Case cases[] = {
        {0700, 0, nullptr},          {0755, 0600, nullptr},         {01777, 0600, nullptr},
        {0755, 0666, "every user"},  {0755, 0620, "its group"},     {0777, 0600, "the folder"},
        {0770, 0, "the folder"},
    };
    fs::path folder, user;
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.folderMode) + " " + std::to_string(c.fileMode));
        folder = dir / ("config" + std::to_string(++n));
        user = folder / "registry.db";
        const ScopedEnv setting("KOV_BROKER_USER_REGISTRY", user.string());
        ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
        if (c.fileMode != 0) {
            RegKey key = nullptr;
            ASSERT_EQ(kRegOk, createKey(currentUserKey(), kProviderList, nullptr, &key, nullptr));
            closeKey(key);
            ASSERT_EQ(0, chmod(user.c_str(), c.fileMode));
        }
        ASSERT_EQ(0, chmod(folder.c_str(), c.folderMode));
        const UserLayerCheck check = checkUserLayer();
        EXPECT_EQ(c.refusal == nullptr, check.state == UserLayerCheck::State::Usable) << check.reason;
        if (c.refusal != nullptr) {
            EXPECT_EQ(check.state, UserLayerCheck::State::Unsafe);
            EXPECT_NE(check.reason.find(c.refusal), std::string::npos) << check.reason;
        }
        EXPECT_EQ(userRegistryLocation(""), user.string());
    }
    // No registry at all in the user's file: said as the registry's own error.
    user = dir / "garbage.db";
    const ScopedEnv setting("KOV_BROKER_USER_REGISTRY", user.string());
    ASSERT_TRUE(std::ofstream(user) << "not a registry");
    RegKey key = nullptr;
    EXPECT_EQ(kRegBadDatabase, openKey(currentUserKey(), kProviderList, &key));
    EXPECT_EQ(nullptr, key);
    const ScopedEnv none("KOV_BROKER_USER_REGISTRY", "");
    EXPECT_EQ(checkUserLayer().state, UserLayerCheck::State::NotNamed);
}

} // namespace
} // namespace kov::platform
