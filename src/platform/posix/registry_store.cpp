// The registry database: where it lives, the process's connection to it, and transactions.
#include "registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>

namespace kov::platform::posix {
namespace {

constexpr const char* kMachineRegistry = "/var/lib/kov_broker/registry.db";
// Generous by default: on a loaded machine a process that registers must wait for the others, not
// fail. Bounded all the same: a registry another process keeps locked fails the call (kBusy).
std::atomic<std::uint32_t> busyWaitMs{kRegDefaultWaitMs};

// AUTOINCREMENT keeps row ids from being reused, so a handle to a deleted key can never come to
// name a key created later; for values it also records insertion order, the enumeration order.
constexpr const char* kSchema = "BEGIN IMMEDIATE;"
                                "CREATE TABLE IF NOT EXISTS reg_keys("
                                " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                " parent INTEGER NOT NULL,"
                                " name TEXT NOT NULL,"
                                " fold TEXT NOT NULL,"
                                " UNIQUE(parent, fold));"
                                "CREATE TABLE IF NOT EXISTS reg_values("
                                " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                " key INTEGER NOT NULL,"
                                " name TEXT NOT NULL,"
                                " fold TEXT NOT NULL,"
                                " type INTEGER NOT NULL,"
                                " data BLOB NOT NULL,"
                                " UNIQUE(key, fold));"
                                // Files written before value names compared exactly hold folded
                                // copies; unique before, so still unique when made exact.
                                "UPDATE reg_values SET fold = name WHERE fold <> name;"
                                "COMMIT;";

// What the schema needs before a connection can be used: 0 when both tables are there and no
// value name is left folded; more when kSchema has work to do. Only reads, so a connection that
// finds everything in place takes no write lock.
constexpr const char* kSchemaCheck =
    "SELECT 2 - (SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND"
    " name IN ('reg_keys', 'reg_values'))";
constexpr const char* kFoldCheck = "SELECT EXISTS(SELECT 1 FROM reg_values WHERE fold <> name)";

struct Connection {
    sqlite3* db = nullptr;
    std::string path;
    pid_t pid = 0;
    bool writable = false; // false: this process may only read the file
    // Runs when the library holding the connection is unloaded (or the process exits): a module
    // loaded and freed again and again must not leave a connection and its file open each time.
    ~Connection() {
        if (db != nullptr && pid == getpid()) sqlite3_close(db);
    }
};

// Function-local statics: the module's constructor may reach the registry before namespace-scope
// objects of this library are initialised.
std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

Connection& connection() {
    static Connection current;
    return current;
}

std::string& scratchOverride() {
    static std::string path;
    return path;
}

std::string& scratchUserOverride() {
    static std::string path;
    return path;
}

void closeConnection(Connection& c) {
    sqlite3_close(c.db);
    c.db = nullptr;
    c.path.clear();
}

std::string currentRootPath() {
    if (!scratchOverride().empty()) return scratchOverride();
    // Set but empty stays empty (no registry): a mistyped setting must not quietly reach, or
    // create, the machine's registry.
    const char* configured = std::getenv("KOV_BROKER_REGISTRY");
    if (configured != nullptr) return configured;
    return kMachineRegistry;
}

// The XDG base directory rules: a relative XDG_CONFIG_HOME is to be ignored. Set but empty,
// KOV_BROKER_USER_REGISTRY names none, as KOV_BROKER_REGISTRY does.
std::string userRootPath() {
    if (!scratchUserOverride().empty()) return scratchUserOverride();
    if (const char* configured = std::getenv("KOV_BROKER_USER_REGISTRY")) return configured;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/kov_broker/registry.db";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/kov_broker/registry.db";
    return {};
}

std::string rootPath(const KeyHandle& key) {
    if (!key.database.empty()) return key.database;
    return key.user ? userRootPath() : currentRootPath();
}

// mkdir -p of the folder holding `path`; failures surface when the database is opened. A user's
// registry gets private folders: nobody else has any business in them.
void makeParentFolders(const std::string& path, mode_t mode) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), mode);
    }
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// With this process's effective rights, as the open calls use them (access() would ask about
// the real user of a set-user-id program).
bool mayAccess(const std::string& path, int mode) {
    return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// SQLite writes its journal beside the file: a file we may write in a folder we may not is as
// good as read-only, and would fail only halfway through a change.
bool folderWritable(const std::string& path) { return mayAccess(folderOf(path), W_OK | X_OK); }

// 0 when the file at `path` may be read as a registry; kNoDatabase when it does not exist;
// otherwise why not. Only a missing file counts as missing: a folder we may not look into must
// not pass for an empty registry.
long examineFile(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0)
        return S_ISDIR(status.st_mode) ? regerr::kNotAFile : 0;
    if (errno == ENOENT || errno == ENOTDIR) return regerr::kNoDatabase;
    return errno == ENOMEM ? regerr::kOutOfMemory : regerr::kAccessDenied;
}

// Brings the schema up to date on a writable connection; on a read-only one, 0 when its tables
// are there (a file written before value names compared exactly reads the same), kNoDatabase
// when not: a file nobody can have registered into yet is an empty registry.
long prepareSchema(sqlite3* db, bool writable) {
    bool tablesMissing = false;
    bool folded = false;
    {
        // Finished before kSchema runs: a statement left open would hold a read lock that the
        // write lock must then be upgraded from, which SQLite refuses at once when another
        // process is waiting for the same (no busy wait, just SQLITE_BUSY).
        Statement tables(db, kSchemaCheck);
        int rc = tables.step();
        if (rc != SQLITE_ROW) return errorFrom(rc);
        tablesMissing = tables.integer(0) != 0;
    }
    if (!tablesMissing) {
        Statement check(db, kFoldCheck);
        const int rc = check.step();
        if (rc != SQLITE_ROW) return errorFrom(rc);
        folded = check.integer(0) != 0;
    }
    if (!tablesMissing && !folded) return 0;
    if (!writable) return tablesMissing ? regerr::kNoDatabase : 0;
    const int rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? 0 : errorFrom(rc);
}

// `currentRoot`: only the root may bring a registry into being. A key handle whose file has gone
// (a dropped scratch registry) must not recreate an empty one. A connection that may only read
// serves Access::Read; a call that writes tries a read-write one again (the rights may have been
// granted since) and otherwise answers kAccessDenied.
long connect(const std::string& path, bool currentRoot, bool user, Access access, sqlite3*& out) {
    if (path.empty()) return regerr::kBadPathname;
    Connection& c = connection();
    // A connection inherited through fork() belongs to the parent; closing it here could disturb
    // the parent's locks, so it is abandoned.
    if (c.db != nullptr && c.pid != getpid()) {
        c.db = nullptr;
        c.path.clear();
    }
    const bool write = access != Access::Read;
    if (c.db != nullptr && c.path == path && (c.writable || !write)) {
        out = c.db;
        return 0;
    }
    if (c.db != nullptr) closeConnection(c);

    const bool create = access == Access::WriteCreating;
    if (const long found = examineFile(path); found != 0) {
        if (found != regerr::kNoDatabase) return found;
        if (!currentRoot) return regerr::kKeyDeleted;
        if (!create) return regerr::kNoDatabase;
        makeParentFolders(path, user ? 0700 : 0755);
    }
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        return errorFrom(rc);
    }
    // SQLite falls back to read-only on a file it may not write, without a word.
    const bool writable = sqlite3_db_readonly(db, "main") == 0 && folderWritable(path);
    if (write && !writable) {
        sqlite3_close(db);
        return regerr::kAccessDenied;
    }
    sqlite3_busy_timeout(db, static_cast<int>(busyWaitMs.load()));
    if (const long schema = prepareSchema(db, writable); schema != 0) {
        sqlite3_close(db); // rolls back a half-done schema transaction
        return schema;
    }
    c.db = db;
    c.path = path;
    c.pid = getpid();
    c.writable = writable;
    out = db;
    return 0;
}

// Rolls back unless committed, so every early return and exception leaves the file unchanged.
class Transaction {
public:
    Transaction(sqlite3* db, bool write)
        : db_(db), begun_(sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr,
                                       nullptr)) {}
    ~Transaction() {
        if (begun_ == SQLITE_OK && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    int begun() const { return begun_; }
    int commit() {
        const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) done_ = true;
        return rc;
    }

private:
    sqlite3* db_;
    int begun_;
    bool done_ = false;
};

long keyExists(sqlite3* db, std::int64_t id) {
    Statement query(db, "SELECT 1 FROM reg_keys WHERE id = ?");
    const int rc = query.bind(1, id).step();
    if (rc == SQLITE_ROW) return 0;
    if (rc == SQLITE_DONE) return regerr::kKeyDeleted;
    return errorFrom(rc);
}

} // namespace

KeyHandle& rootKey() {
    static KeyHandle root;
    return root;
}

KeyHandle& userRootKey() {
    static KeyHandle root{std::string(), 0, true};
    return root;
}

long runOnKey(const KeyHandle& key, Access access,
              const std::function<long(const Session&)>& body) {
    try {
        const std::lock_guard<std::mutex> hold(registryMutex());
        const bool currentRoot = key.database.empty();
        const std::string path = rootPath(key);
        sqlite3* db = nullptr;
        if (const long rc = connect(path, currentRoot, key.user, access, db); rc != 0) return rc;

        Transaction transaction(db, access != Access::Read);
        if (transaction.begun() != SQLITE_OK) return errorFrom(transaction.begun());
        if (key.id != 0) {
            if (const long rc = keyExists(db, key.id); rc != 0) return rc;
        }
        const long result = body(Session{db, path, key.id});
        if (result != 0) return result;
        if (const int rc = transaction.commit(); rc != SQLITE_OK) return errorFrom(rc);
        return 0;
    } catch (const std::bad_alloc&) {
        return regerr::kOutOfMemory;
    } catch (...) {
        return regerr::kIoFailed; // std::system_error from the mutex
    }
}

long writeAccess(const KeyHandle& key) {
    try {
        const std::lock_guard<std::mutex> hold(registryMutex());
        const std::string path = rootPath(key);
        if (path.empty()) return regerr::kBadPathname;
        const long found = examineFile(path);
        if (found == 0)
            return mayAccess(path, R_OK | W_OK) && folderWritable(path) ? 0 : regerr::kAccessDenied;
        if (found != regerr::kNoDatabase) return found;
        // Registering would create the file: the nearest folder that exists must let us.
        std::string folder = folderOf(path);
        while (examineFile(folder) == regerr::kNoDatabase && folder != "/" && folder != ".")
            folder = folderOf(folder);
        return mayAccess(folder, W_OK | X_OK) ? 0 : regerr::kAccessDenied;
    } catch (const std::bad_alloc&) {
        return regerr::kOutOfMemory;
    } catch (...) {
        return regerr::kIoFailed;
    }
}

std::string currentRegistryPath() {
    const std::lock_guard<std::mutex> hold(registryMutex());
    return currentRootPath();
}

std::string userRegistryPath() {
    const std::lock_guard<std::mutex> hold(registryMutex());
    return userRootPath();
}

void setBusyWait(std::uint32_t milliseconds) {
    const std::lock_guard<std::mutex> hold(registryMutex());
    busyWaitMs = milliseconds;
    Connection& c = connection();
    if (c.db != nullptr && c.pid == getpid()) sqlite3_busy_timeout(c.db, static_cast<int>(milliseconds));
}

void setScratchPath(const std::string& path, const std::string& userPath) {
    const std::lock_guard<std::mutex> hold(registryMutex());
    scratchOverride() = path;
    scratchUserOverride() = userPath;
}

std::string scratchPath() {
    const std::lock_guard<std::mutex> hold(registryMutex());
    return scratchOverride();
}

std::string scratchUserPath() {
    const std::lock_guard<std::mutex> hold(registryMutex());
    return scratchUserOverride();
}

void closeDatabase(const std::string& path) {
    const std::lock_guard<std::mutex> hold(registryMutex());
    Connection& c = connection();
    if (c.db != nullptr && c.path == path && c.pid == getpid()) closeConnection(c);
}

} // namespace kov::platform::posix
