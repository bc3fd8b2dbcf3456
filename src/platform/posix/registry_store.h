// Private to the POSIX backend: the SQLite database that stands in for the Windows registry.
//
// One file holds a tree of keys and their values. Each process keeps one connection, guarded by
// one mutex; every operation runs as one transaction, and a busy timeout lets several processes
// share the file. Key and value names compare case-insensitively (ASCII), as Windows compares
// them, through a folded copy of each name that also gives the enumeration order.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kov::platform::posix {

// Win32 error codes the registry functions return.
namespace regerr {
constexpr long kFileNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kInvalidHandle = 6;
constexpr long kOutOfMemory = 14;
constexpr long kInvalidParameter = 87;
constexpr long kBadPathname = 161;
constexpr long kBusy = 170;
constexpr long kIoFailed = 1016;
constexpr long kKeyDeleted = 1018;
} // namespace regerr

// What a RegKey points to. The root of the current registry has an empty `database`: it is
// resolved afresh on every use, so tests can switch registries between calls. Every other
// handle stays bound to the database it was opened in.
struct KeyHandle {
    std::string database;
    std::int64_t id = 0; // 0: the root
};

KeyHandle& rootKey();

// What an operation sees: the connection, the file it is bound to, and the key's row id.
struct Session {
    sqlite3* db;
    const std::string& database;
    std::int64_t keyId;
};

// Runs `body` on `key` inside one transaction (taking the write lock up front when `write`),
// after checking that the key still exists. Commits when `body` returns 0, rolls back otherwise.
long runOnKey(const KeyHandle& key, bool write, const std::function<long(const Session&)>& body);

// Maps an SQLite result code to a registry error.
long errorFrom(int sqliteCode);

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
void setScratchPath(const std::string& path);
std::string scratchPath();
// Closes the process's connection if it is bound to `path`, so the file can be deleted.
void closeDatabase(const std::string& path);

} // namespace kov::platform::posix
