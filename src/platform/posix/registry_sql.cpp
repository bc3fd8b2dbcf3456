// What every registry statement needs: prepared statements that finalize themselves, SQLite's
// results as the registry's error codes, and the form names are compared in.
#include "registry_store.h"

namespace kov::platform::posix {

long errorFrom(int sqliteCode) {
    switch (sqliteCode & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return regerr::kBusy;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN: return regerr::kAccessDenied;
    case SQLITE_NOMEM: return regerr::kOutOfMemory;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: return regerr::kBadDatabase;
    default: return regerr::kIoFailed;
    }
}

std::string foldName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
}

bool fitsNameLimit(const std::string& name, std::size_t maxUnits) {
    std::size_t units = 0;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) ++units;   // one unit per sequence start...
        if (byte >= 0xF0) ++units;            // ...two for characters beyond the BMP
    }
    return units <= maxUnits;
}

Statement::Statement(sqlite3* db, const char* sql)
    : prepared_(sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr)) {}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::bind(int index, std::int64_t value) {
    if (prepared_ == SQLITE_OK && bindResult_ == SQLITE_OK)
        bindResult_ = sqlite3_bind_int64(statement_, index, value);
    return *this;
}

Statement& Statement::bind(int index, const std::string& text) {
    if (prepared_ == SQLITE_OK && bindResult_ == SQLITE_OK)
        bindResult_ = sqlite3_bind_text(statement_, index, text.data(),
                                        static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bindBlob(int index, const void* data, int size) {
    if (prepared_ == SQLITE_OK && bindResult_ == SQLITE_OK)
        bindResult_ = sqlite3_bind_blob(statement_, index, data, size, SQLITE_TRANSIENT);
    return *this;
}

int Statement::step() {
    if (prepared_ != SQLITE_OK) return prepared_;
    if (bindResult_ != SQLITE_OK) return bindResult_;
    return sqlite3_step(statement_);
}

std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(statement_, column); }

std::string Statement::text(int column) const {
    const auto* chars = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    const int size = sqlite3_column_bytes(statement_, column);
    if (chars == nullptr) return std::string();
    return std::string(chars, static_cast<std::size_t>(size));
}

const void* Statement::blob(int column) const { return sqlite3_column_blob(statement_, column); }

int Statement::bytes(int column) const { return sqlite3_column_bytes(statement_, column); }

} // namespace kov::platform::posix
