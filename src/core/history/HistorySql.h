#pragma once
// What the history index's files share of SQLite: prepared statements, the
// codes that mean a damaged file, and the error raised for one (the index is
// then made anew).
#include "history/HistoryIndex.h"

#include <cstdint>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace kv::history_sql {

class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            throw HistoryError(std::string("The transfer history index cannot be read (") +
                               sqlite3_errmsg(db) + ")");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() { return stmt_; }
    void Bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void Bind(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void BindBlob(int i, const std::string& v) {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    int64_t Int(int i) { return sqlite3_column_int64(stmt_, i); }
    std::string Text(int i) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_blob(stmt_, i));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, i)))
                 : std::string();
    }
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

inline bool Damaged(int code) {
    code &= 0xff;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB || code == SQLITE_SCHEMA;
}

// kv_collect(a, ...): an aggregate that appends its arguments (integers),
// row after row, to the thread's collected values; one sqlite3_step takes a
// whole result in, a fraction of a step per row.
inline std::vector<int64_t>& Collected() {
    thread_local std::vector<int64_t> values;
    return values;
}

inline void CollectStep(sqlite3_context*, int argc, sqlite3_value** argv) {
    std::vector<int64_t>& values = Collected();
    for (int i = 0; i < argc; ++i)
        values.push_back(sqlite3_value_int64(argv[i]));
}

inline void CollectFinal(sqlite3_context* ctx) {
    sqlite3_result_null(ctx);
}

class DamagedIndex : public HistoryError {
public:
    using HistoryError::HistoryError;
};

} // namespace kv::history_sql
