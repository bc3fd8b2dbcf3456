// Registry keys: create-or-open, enumerate, delete, flush, close.
#include "platform/faults.h"
#include "platform/platform.h"
#include "registry_store.h"

#include <cstring>
#include <memory>
#include <vector>

namespace kov::platform {
namespace {

using posix::Access;
using posix::KeyHandle;
using posix::Session;
using posix::Statement;
namespace regerr = posix::regerr;

constexpr std::size_t kMaxKeyNameUnits = 255;

KeyHandle* asKey(RegKey key) { return static_cast<KeyHandle*>(key); }

// Splits "a\b\c" into its levels. As on Windows, a leading backslash or an
// empty level is a bad path, one trailing backslash is tolerated, and "" names
// the key itself.
long splitKeyPath(const char* name, std::vector<std::string>& levels) {
    levels.clear();
    if (name == nullptr || name[0] == '\0') return 0;
    if (name[0] == '\\') return regerr::kBadPathname;
    std::string path = name;
    if (path.back() == '\\') path.pop_back();
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('\\', start);
        std::string level = path.substr(start, end == std::string::npos ? end : end - start);
        if (level.empty()) return regerr::kBadPathname;
        if (!posix::fitsNameLimit(level, kMaxKeyNameUnits)) return regerr::kInvalidParameter;
        levels.push_back(std::move(level));
        if (end == std::string::npos) return 0;
        start = end + 1;
    }
}

// Looks up the child `name` of key `parent`: 0 and `child` set when found,
// kFileNotFound when missing.
long findChild(const Session& s, std::int64_t parent, const std::string& name,
               std::int64_t& child) {
    Statement find(s.db, "SELECT id FROM reg_keys WHERE parent = ? AND fold = ?");
    const int rc = find.bind(1, parent).bind(2, posix::foldName(name)).step();
    if (rc == SQLITE_DONE) return regerr::kFileNotFound;
    if (rc != SQLITE_ROW) return posix::errorFrom(rc);
    child = find.integer(0);
    return 0;
}

// Walks `levels` down from the session's key; kFileNotFound when one is
// missing.
long findPath(const Session& s, const std::vector<std::string>& levels, std::int64_t& id) {
    id = s.keyId;
    for (const std::string& level : levels) {
        if (const long rc = findChild(s, id, level, id); rc != 0) return rc;
    }
    return 0;
}

// What opening and creating a key check first, in this order: the fault switch (both count as
// CreateKey), the result pointer (cleared), the parent handle.
long startKeyCall(RegKey parent, RegKey* result, const KeyHandle*& from) {
    if (faults::shouldFail(faults::Fault::CreateKey)) return regerr::kAccessDenied;
    if (result == nullptr) return regerr::kInvalidParameter;
    *result = nullptr;
    from = asKey(parent);
    return from == nullptr ? regerr::kInvalidHandle : 0;
}

} // namespace

RegKey localMachineKey() { return &posix::rootKey(); }

long createKey(RegKey parent, const char* name, const void* /*security*/, RegKey* result,
               std::uint32_t* disposition) {
    const KeyHandle* from = nullptr;
    if (const long rc = startKeyCall(parent, result, from); rc != 0) return rc;
    if (faults::registryWritesDenied()) return regerr::kAccessDenied;
    return posix::contained([&]() -> long {
        std::vector<std::string> levels;
        if (const long rc = splitKeyPath(name, levels); rc != 0) return rc;

        std::unique_ptr<KeyHandle> opened;
        bool created = false;
        const long rc =
            posix::runOnKey(*from, Access::WriteCreating, [&](const Session& s) -> long {
                std::int64_t id = s.keyId;
                for (const std::string& level : levels) {
                    std::int64_t child = 0;
                    const long found = findChild(s, id, level, child);
                    if (found == 0) {
                        id = child;
                        created = false;
                        continue;
                    }
                    if (found != regerr::kFileNotFound) return found;
                    Statement insert(s.db,
                                     "INSERT INTO reg_keys(parent, name, fold) VALUES(?, ?, ?)");
                    const int step =
                        insert.bind(1, id).bind(2, level).bind(3, posix::foldName(level)).step();
                    if (step != SQLITE_DONE) return posix::errorFrom(step);
                    id = sqlite3_last_insert_rowid(s.db);
                    created = true;
                }
                // Allocated before the commit: a key is never created without a
                // handle to hand back.
                opened.reset(new KeyHandle{s.database, id});
                return 0;
            });
        if (rc != 0) return rc;
        *result = opened.release();
        if (disposition != nullptr)
            *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
        return kRegOk;
    });
}

long openKey(RegKey parent, const char* name, RegKey* result) {
    const KeyHandle* from = nullptr;
    if (const long rc = startKeyCall(parent, result, from); rc != 0) return rc;
    return posix::contained([&]() -> long {
        std::vector<std::string> levels;
        if (const long rc = splitKeyPath(name, levels); rc != 0) return rc;
        std::unique_ptr<KeyHandle> opened;
        const long rc = posix::runOnKey(*from, Access::Read, [&](const Session& s) -> long {
            std::int64_t id = 0;
            if (const long found = findPath(s, levels, id); found != 0) return found;
            opened.reset(new KeyHandle{s.database, id});
            return 0;
        });
        if (rc == regerr::kNoDatabase) return regerr::kFileNotFound;
        if (rc != 0) return rc;
        *result = opened.release();
        return kRegOk;
    });
}

long enumKey(RegKey key, std::uint32_t index, char* name, std::uint32_t nameSize) {
    if (faults::shouldFail(faults::Fault::EnumKey)) return regerr::kIoFailed;
    const KeyHandle* from = asKey(key);
    if (from == nullptr) return regerr::kInvalidHandle;
    if (name == nullptr) return regerr::kInvalidParameter;
    return posix::contained([&]() -> long {
        const long rc = posix::runOnKey(*from, Access::Read, [&](const Session& s) -> long {
            Statement query(s.db, "SELECT name FROM reg_keys WHERE parent = ? "
                                  "ORDER BY fold LIMIT 1 OFFSET ?");
            const int step =
                query.bind(1, s.keyId).bind(2, static_cast<std::int64_t>(index)).step();
            if (step == SQLITE_DONE) return kRegNoMoreItems;
            if (step != SQLITE_ROW) return posix::errorFrom(step);
            const std::string found = query.text(0);
            if (found.size() + 1 > nameSize) return kRegMoreData;
            std::memcpy(name, found.c_str(), found.size() + 1);
            return kRegOk;
        });
        return rc == regerr::kNoDatabase ? kRegNoMoreItems : rc;
    });
}

long deleteKey(RegKey parent, const char* name) {
    if (faults::shouldFail(faults::Fault::DeleteKey) || faults::registryWritesDenied())
        return regerr::kAccessDenied;
    const KeyHandle* from = asKey(parent);
    if (from == nullptr) return regerr::kInvalidHandle;
    if (name == nullptr) return regerr::kInvalidParameter;
    return posix::contained([&]() -> long {
        std::vector<std::string> levels;
        if (const long rc = splitKeyPath(name, levels); rc != 0) return rc;
        const long result = posix::runOnKey(*from, Access::Write, [&](const Session& s) -> long {
            std::int64_t id = 0;
            if (const long rc = findPath(s, levels, id); rc != 0) return rc;
            if (id == 0) return regerr::kAccessDenied; // the root stays
            Statement children(s.db, "SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
            const int rc = children.bind(1, id).step();
            // Windows deletes only leaf keys.
            if (rc == SQLITE_ROW) return regerr::kAccessDenied;
            if (rc != SQLITE_DONE) return posix::errorFrom(rc);
            Statement values(s.db, "DELETE FROM reg_values WHERE key = ?");
            if (const int step = values.bind(1, id).step(); step != SQLITE_DONE)
                return posix::errorFrom(step);
            Statement self(s.db, "DELETE FROM reg_keys WHERE id = ?");
            if (const int step = self.bind(1, id).step(); step != SQLITE_DONE)
                return posix::errorFrom(step);
            return kRegOk;
        });
        return result == regerr::kNoDatabase ? regerr::kFileNotFound : result;
    });
}

// Every change is committed (and synced by SQLite) before its call returns, so
// a flush only has to confirm the key is still there.
long flushKey(RegKey key) {
    const KeyHandle* from = asKey(key);
    if (from == nullptr) return regerr::kInvalidHandle;
    return posix::contained([&]() -> long {
        const long rc =
            posix::runOnKey(*from, Access::Read, [](const Session&) -> long { return kRegOk; });
        return rc == regerr::kNoDatabase ? kRegOk : rc; // nothing written, nothing to flush
    });
}

// Keys have no rights of their own here: whoever may write the file may write every key.
long checkWriteAccess(RegKey parent, const char* /*name*/) {
    if (faults::registryWritesDenied()) return regerr::kAccessDenied;
    const KeyHandle* from = asKey(parent);
    if (from == nullptr) return regerr::kInvalidHandle;
    return posix::writeAccess(*from);
}

std::string registryLocation(const char* /*keyPath*/) { return posix::currentRegistryPath(); }

void setRegistryWait(std::uint32_t milliseconds) { posix::setBusyWait(milliseconds); }

void closeKey(RegKey key) {
    if (key == nullptr || key == &posix::rootKey() || key == &posix::userRootKey()) return;
    delete asKey(key);
}

} // namespace kov::platform
