// Registry values: enumerate, set a REG_DWORD, delete, count.
#include "platform/faults.h"
#include "platform/platform.h"
#include "registry_store.h"

#include <cstring>

namespace kov::platform {
namespace {

using posix::Access;
using posix::KeyHandle;
using posix::Session;
using posix::Statement;
namespace regerr = posix::regerr;

constexpr std::size_t kMaxValueNameUnits = 16383;

KeyHandle* asKey(RegKey key) { return static_cast<KeyHandle*>(key); }

// A null value name is the key's default value, whose name is empty.
std::string valueName(const char* name) { return name == nullptr ? std::string() : name; }

} // namespace

long enumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t nameSize,
               std::uint8_t* data, std::uint32_t dataSize) {
    if (faults::shouldFail(faults::Fault::EnumValue)) return regerr::kIoFailed;
    const KeyHandle* from = asKey(key);
    if (from == nullptr) return regerr::kInvalidHandle;
    if (name == nullptr) return regerr::kInvalidParameter;
    return posix::contained([&]() -> long {
        const long result = posix::runOnKey(*from, Access::Read, [&](const Session& s) -> long {
            Statement query(s.db, "SELECT name, data FROM reg_values WHERE key = "
                                  "? ORDER BY id LIMIT 1 OFFSET ?");
            const int rc = query.bind(1, s.keyId).bind(2, static_cast<std::int64_t>(index)).step();
            if (rc == SQLITE_DONE) return kRegNoMoreItems;
            if (rc != SQLITE_ROW) return posix::errorFrom(rc);
            const std::string found = query.text(0);
            const void* bytes = query.blob(1);
            const auto size = static_cast<std::uint32_t>(query.bytes(1));
            if (found.size() + 1 > nameSize) return kRegMoreData;
            // A null data buffer asks for the name only.
            if (data != nullptr && size > dataSize) return kRegMoreData;
            std::memcpy(name, found.c_str(), found.size() + 1);
            if (data != nullptr && size > 0) std::memcpy(data, bytes, size);
            return kRegOk;
        });
        return result == regerr::kNoDatabase ? kRegNoMoreItems : result;
    });
}

long setDwordValue(RegKey key, const char* name, std::uint32_t value) {
    if (faults::shouldFail(faults::Fault::SetValue) || faults::registryWritesDenied())
        return regerr::kAccessDenied;
    const KeyHandle* from = asKey(key);
    if (from == nullptr) return regerr::kInvalidHandle;
    return posix::contained([&]() -> long {
        const std::string target = valueName(name);
        if (!posix::fitsNameLimit(target, kMaxValueNameUnits)) return regerr::kInvalidParameter;
        const std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
        return posix::runOnKey(*from, Access::WriteCreating, [&](const Session& s) -> long {
            // Replacing in place keeps the value's name and its place in the
            // enumeration order.
            Statement update(s.db, "UPDATE reg_values SET type = ?, data = ? "
                                   "WHERE key = ? AND name = ?");
            int rc = update.bind(1, static_cast<std::int64_t>(kRegDword))
                         .bindBlob(2, bytes, sizeof bytes)
                         .bind(3, s.keyId)
                         .bind(4, target)
                         .step();
            if (rc != SQLITE_DONE) return posix::errorFrom(rc);
            if (sqlite3_changes(s.db) > 0) return kRegOk;
            Statement insert(s.db, "INSERT INTO reg_values(key, name, fold, "
                                   "type, data) VALUES(?, ?, ?, ?, ?)");
            rc = insert.bind(1, s.keyId)
                     .bind(2, target)
                     .bind(3, target) // exact: see registry_store.h
                     .bind(4, static_cast<std::int64_t>(kRegDword))
                     .bindBlob(5, bytes, sizeof bytes)
                     .step();
            return rc == SQLITE_DONE ? kRegOk : posix::errorFrom(rc);
        });
    });
}

long deleteValue(RegKey key, const char* name) {
    if (faults::shouldFail(faults::Fault::DeleteValue) || faults::registryWritesDenied())
        return regerr::kAccessDenied;
    const KeyHandle* from = asKey(key);
    if (from == nullptr) return regerr::kInvalidHandle;
    return posix::contained([&]() -> long {
        const std::string target = valueName(name);
        const long result = posix::runOnKey(*from, Access::Write, [&](const Session& s) -> long {
            Statement remove(s.db, "DELETE FROM reg_values WHERE key = ? AND name = ?");
            const int rc = remove.bind(1, s.keyId).bind(2, target).step();
            if (rc != SQLITE_DONE) return posix::errorFrom(rc);
            return sqlite3_changes(s.db) > 0 ? kRegOk : regerr::kFileNotFound;
        });
        return result == regerr::kNoDatabase ? regerr::kFileNotFound : result;
    });
}

long queryValueCount(RegKey key, std::uint32_t* count) {
    if (faults::shouldFail(faults::Fault::QueryValueCount)) return regerr::kIoFailed;
    const KeyHandle* from = asKey(key);
    if (from == nullptr) return regerr::kInvalidHandle;
    if (count == nullptr) return regerr::kInvalidParameter;
    return posix::contained([&]() -> long {
        const long result = posix::runOnKey(*from, Access::Read, [&](const Session& s) -> long {
            Statement query(s.db, "SELECT COUNT(*) FROM reg_values WHERE key = ?");
            const int rc = query.bind(1, s.keyId).step();
            if (rc != SQLITE_ROW) return posix::errorFrom(rc);
            *count = static_cast<std::uint32_t>(query.integer(0));
            return kRegOk;
        });
        if (result != regerr::kNoDatabase) return result;
        *count = 0;
        return kRegOk;
    });
}

} // namespace kov::platform
