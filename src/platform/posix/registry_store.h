// Private to the POSIX backend: the SQLite database that stands in for the Windows registry.
//
// One file holds a tree of keys and their values. Each process keeps one connection, guarded by
// one mutex; every operation runs as one transaction, and a busy timeout lets several processes
// share the file. Key names compare case-insensitively (ASCII), as Windows compares them, through
// a folded copy of each name that also gives the enumeration order. Value names are library paths
// here, and this file system tells /x/A.so from /x/a.so, so they compare exactly (their `fold`
// column holds the name unchanged).
//
// Read-only calls never create the database file or its folder: a registry nobody wrote to is
// simply empty. A set but empty KOV_BROKER_REGISTRY names no registry at all (every call fails
// with kBadPathname) rather than falling back to the machine's.
//
// A process that may read the file but not write it (a root-owned registry, read by a user) gets a
// read-only connection: reading works, every call that writes answers kAccessDenied, as the
// Windows registry answers a user without administrator rights.
#pragma once

#include "platform/platform.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <string>

namespace kov::platform::posix {

// Win32 error codes the registry functions return.
namespace regerr {
constexpr long kFileNotFound = kRegFileNotFound;
constexpr long kAccessDenied = kRegAccessDenied;
constexpr long kInvalidHandle = 6;
constexpr long kOutOfMemory = 14;
constexpr long kInvalidParameter = 87;
constexpr long kBadDatabase = kRegBadDatabase;
constexpr long kBadPathname = kRegBadPathname;
constexpr long kBusy = kRegBusy;
constexpr long kNotAFile = kRegNotAFile;
constexpr long kIoFailed = 1016;
constexpr long kKeyDeleted = 1018;
// Internal only, never handed to a caller: the current registry has no file yet (or, read-only,
// one without the registry's tables). Each public call turns it into what an empty registry
// answers.
constexpr long kNoDatabase = -1;
} // namespace regerr

// Runs a public registry call so that nothing thrown inside (std::bad_alloc from a name copy, a
// std::function, a handle) escapes to the broker, which reports through status codes only.
template <typename Body>
long contained(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return regerr::kOutOfMemory;
    } catch (...) {
        return regerr::kIoFailed;
    }
}

// What a RegKey points to. The root of the current registry has an empty `database`: it is
// resolved afresh on every use, so tests can switch registries between calls. Every other
// handle stays bound to the database it was opened in.
struct KeyHandle {
    std::string database;
    std::int64_t id = 0; // 0: the root
    bool user = false;   // a root: the user's registry rather than the machine's
};

KeyHandle& rootKey();
KeyHandle& userRootKey();

// What an operation sees: the connection, the file it is bound to, and the key's row id.
struct Session {
    sqlite3* db;
    const std::string& database;
    std::int64_t keyId;
};

enum class Access {
    Read,
    Write,          // takes the write lock up front
    WriteCreating,  // as Write, and the current registry's file is created when missing
};

// Runs `body` on `key` inside one transaction, after checking that the key still exists.
// Commits when `body` returns 0, rolls back otherwise. The root of the current registry returns
// kNoDatabase when its file does not exist and `access` may not create it.
long runOnKey(const KeyHandle& key, Access access,
              const std::function<long(const Session&)>& body);

// Maps an SQLite result code to a registry error.
long errorFrom(int sqliteCode);

// Whether this process could write the registry whose root is `key` (see checkWriteAccess).
long writeAccess(const KeyHandle& key);
// The file the current registry lives in (empty: none named).
std::string currentRegistryPath();
// The file this user's registry lives in (empty: none named).
std::string userRegistryPath();
// The busy timeout of this process's connections.
void setBusyWait(std::uint32_t milliseconds);

// Names compare and sort by this folded form (ASCII upper case, as Windows sorts subkeys).
std::string foldName(const std::string& name);

// Windows limits: 255 characters per key name, 16383 per value name (counted in UTF-16 units).
bool fitsNameLimit(const std::string& name, std::size_t maxUnits);

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int prepareResult() const { return prepared_; }
    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, const std::string& text);
    Statement& bindBlob(int index, const void* data, int size);
    int step(); // SQLITE_ROW, SQLITE_DONE or an error
    std::int64_t integer(int column) const;
    std::string text(int column) const;
    const void* blob(int column) const;
    int bytes(int column) const;

private:
    sqlite3_stmt* statement_ = nullptr;
    int prepared_;
    int bindResult_ = SQLITE_OK;
};

// ---- scratch registry (test hook) ----
// The path that takes the place of the configured one; empty for none.
void setScratchPath(const std::string& path, const std::string& userPath);
std::string scratchPath();
std::string scratchUserPath();
// Closes the process's connection if it is bound to `path`, so the file can be deleted.
void closeDatabase(const std::string& path);

} // namespace kov::platform::posix
