// The transfer history's index over the transfer logs (SQLite): opening the
// file (or making it anew), its schema, and the small reads. The refresh from
// the logs is in HistoryRefresh.cpp, the queries in HistoryQuery.cpp.
#include "history/HistoryIndex.h"

#include "history/HistorySql.h"
#include "util/Fs.h"
#include "util/StateFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sqlite3.h>
#include <unistd.h>

namespace kv {

using history_sql::Damaged;
using history_sql::DamagedIndex;
using history_sql::Statement;

namespace {

// Raised when the schema changes: an index of another version is made anew.
constexpr int kSchemaVersion = 2;
// Marks the file as our index ("KVHI"), so that another program's database
// at its path is told from it and set aside rather than written into.
constexpr int64_t kApplicationId = 0x4b564849;
// The first version wrote no application id; its files are ours all the same.
constexpr int kUnmarkedVersion = 1;
// How long a refresh waits for another program that is writing the index.
constexpr int kBusyWaitMs = 2000;

// kv_has(needle, a, b, c): whether a, b or c holds needle (lower case),
// ASCII letter case ignored. Cheaper than three LIKEs over a million rows.
void HasText(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const auto* needle = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const int n = sqlite3_value_bytes(argv[0]);
    if (!needle || n == 0) {
        sqlite3_result_int(ctx, 1);
        return;
    }
    thread_local std::string lowered;
    for (int i = 1; i <= 3; ++i) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[i]));
        const int size = sqlite3_value_bytes(argv[i]);
        if (!text || size < n)
            continue;
        lowered.assign(text, static_cast<size_t>(size));
        for (char& c : lowered)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (::memmem(lowered.data(), lowered.size(), needle, static_cast<size_t>(n))) {
            sqlite3_result_int(ctx, 1);
            return;
        }
    }
    sqlite3_result_int(ctx, 0);
}

void AddFunctions(sqlite3* db) {
    sqlite3_create_function_v2(db, "kv_has", 4, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                               HasText, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "kv_collect", -1, SQLITE_UTF8, nullptr, nullptr,
                               history_sql::CollectStep, history_sql::CollectFinal, nullptr);
}

} // namespace

HistoryIndex::HistoryIndex(const std::string& programDir) : programDir_(programDir) {
    const std::string folder = JoinPath(programDir_, kLogFolderName);
    if (!DirectoryExists(folder) && ForceDirectories(folder))
        TakeFolderOwner(folder, programDir_);
    path_ = JoinPath(programDir_, kHistoryIndexName);
    OpenFile();
}

HistoryIndex::~HistoryIndex() {
    Close();
}

void HistoryIndex::Close() {
    if (db_)
        sqlite3_close_v2(db_);
    db_ = nullptr;
}

void HistoryIndex::Fail(const std::string& what) {
    const int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_ERROR;
    if ((code & 0xff) == SQLITE_INTERRUPT)
        throw HistoryInterrupted();
    std::string message = "The transfer history index " + path_ + " cannot be " + what + " (" +
                          (db_ ? sqlite3_errmsg(db_) : "no database") + ")";
    if (Damaged(code))
        throw DamagedIndex(message);
    if ((code & 0xff) == SQLITE_FULL)
        message += "; free some space in the LOG folder";
    else if ((code & 0xff) == SQLITE_READONLY || (code & 0xff) == SQLITE_CANTOPEN ||
             (code & 0xff) == SQLITE_PERM)
        message += "; give the user who runs the program write access to the LOG folder";
    throw HistoryError(message);
}

void HistoryIndex::OpenFile() {
    // An index that cannot even be opened as a database is removed and made anew.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Close();
        const bool existed = FileExists(path_);
        int rc = sqlite3_open_v2(path_.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc == SQLITE_OK && existed && IsForeign()) {
            SetAside();
            continue;
        }
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(db_, kBusyWaitMs);
            AddFunctions(db_);
            rc = sqlite3_exec(db_,
                              "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                              " PRAGMA cache_size=-16000; PRAGMA temp_store=FILE;",
                              nullptr, nullptr, nullptr);
            // A file this user may only read is opened read-only without a word.
            if (rc == SQLITE_OK && sqlite3_db_readonly(db_, "main") == 1)
                rc = SQLITE_READONLY;
        }
        if (rc == SQLITE_OK) {
            int64_t v = -1;
            {
                // Finished before Reset: a pending statement keeps tables from being dropped.
                Statement version(db_, "PRAGMA user_version");
                rc = sqlite3_step(version.get());
                v = rc == SQLITE_ROW ? version.Int(0) : -1;
                rc = rc == SQLITE_ROW ? SQLITE_OK : rc;
            }
            if (rc == SQLITE_OK && v != kSchemaVersion) {
                if (v != 0 || existed)
                    rebuildPending_ = true;
                try {
                    Reset();
                } catch (const HistoryError&) {
                    rc = sqlite3_extended_errcode(db_);
                    if (rc == SQLITE_OK)
                        rc = SQLITE_ERROR;
                }
            }
        }
        if (rc == SQLITE_OK) {
            GiveFilesToFolderOwner();
            return;
        }
        if (Damaged(rc) && attempt == 0) {
            Close();
            for (const char* suffix : {"", "-wal", "-shm"})
                ::unlink((path_ + suffix).c_str());
            rebuildPending_ = true;
            continue;
        }
        // The file cannot be had: work from the logs in memory.
        warning_ = "The transfer history index " + path_ + " cannot be written (" +
                   (db_ ? sqlite3_errmsg(db_) : "no database") +
                   "), so the history is read from the logs each time; give the user who runs "
                   "the program write access to the LOG folder to keep it.";
        Close();
        if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK)
            Fail("opened");
        AddFunctions(db_);
        Reset();
        return;
    }
}

bool HistoryIndex::IsForeign() {
    auto number = [this](const char* sql) -> int64_t {
        sqlite3_stmt* s = nullptr;
        int64_t v = -1;
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            v = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
        return v;
    };
    const int64_t app = number("PRAGMA application_id");
    if (app < 0)
        return false; // not readable as a database: the damaged-file path decides
    if (app == kApplicationId)
        return false;
    const int64_t objects = number("SELECT COUNT(*) FROM sqlite_schema");
    if (objects <= 0)
        return app != 0; // an empty file is made ours
    const int64_t ours = number("SELECT COUNT(*) FROM sqlite_schema WHERE type = 'table' AND"
                                " name IN ('logs', 'records', 'types')");
    return !(app == 0 && number("PRAGMA user_version") == kUnmarkedVersion && ours == 3);
}

void HistoryIndex::SetAside() {
    Close();
    std::string aside;
    for (int n = 0; n < 1000 && aside.empty(); ++n) {
        const std::string candidate = path_ + ".foreign" + (n ? std::to_string(n) : "");
        if (!FileExists(candidate))
            aside = candidate;
    }
    if (aside.empty() || ::rename(path_.c_str(), aside.c_str()) != 0)
        throw HistoryError("The file " + path_ +
                           " is a database of another program and cannot be moved aside (" +
                           std::strerror(errno) +
                           "); move it away so that the transfer history can be kept there");
    for (const char* suffix : {"-wal", "-shm"})
        if (FileExists(path_ + suffix))
            ::rename((path_ + suffix).c_str(), (aside + suffix).c_str());
    note_ = "The file " + path_ + " was a database of another program; it was moved to " + aside +
            " and the transfer history is made anew from the logs.";
    rebuildPending_ = true;
}

void HistoryIndex::GiveFilesToFolderOwner() {
    // SQLite makes its write-ahead log and shared memory file when it needs
    // them; a root run leaves all three to the folder's owner (a service's).
    if (!warning_.empty())
        return;
    for (const char* suffix : {"", "-wal", "-shm"})
        if (FileExists(path_ + suffix))
            TakeFolderOwner(path_ + suffix, programDir_);
}

void HistoryIndex::CreateSchema() {
    const char* sql =
        // done: the bytes read up to the last whole line; scanned: the bytes
        // looked at (a line still being written is not searched again).
        "CREATE TABLE IF NOT EXISTS logs(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL,"
        " dev INTEGER, ino INTEGER, done INTEGER, scanned INTEGER DEFAULT 0, head BLOB,"
        " bad INTEGER DEFAULT 0);"
        "CREATE TABLE IF NOT EXISTS records(id INTEGER PRIMARY KEY, log INTEGER NOT NULL,"
        " ts INTEGER NOT NULL, dir INTEGER NOT NULL, name TEXT, size INTEGER, sender TEXT,"
        " receiver TEXT, type TEXT);"
        // Each filter without text reads one of these in the order shown.
        "CREATE INDEX IF NOT EXISTS records_ts ON records(ts);"
        "CREATE INDEX IF NOT EXISTS records_dir ON records(dir, ts);"
        "CREATE INDEX IF NOT EXISTS records_type ON records(type, dir, ts);"
        // Text search: trigrams of the name, sender and receiver, without
        // positions, which keeps it small; the query checks each candidate.
        "CREATE VIRTUAL TABLE IF NOT EXISTS records_text USING fts5(name, sender, receiver,"
        " content='records', content_rowid='id', tokenize='trigram', detail='none',"
        " columnsize=0);"
        // The chart's files per day, kept as records come and go.
        "CREATE TABLE IF NOT EXISTS days(day INTEGER, dir INTEGER, type TEXT, n INTEGER,"
        " PRIMARY KEY(day, dir, type)) WITHOUT ROWID;"
        "CREATE TABLE IF NOT EXISTS types(type TEXT PRIMARY KEY) WITHOUT ROWID;";
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("written");
    const std::string marks = "PRAGMA user_version=" + std::to_string(kSchemaVersion) +
                              "; PRAGMA application_id=" + std::to_string(kApplicationId);
    if (sqlite3_exec(db_, marks.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("written");
}

void HistoryIndex::Reset() {
    if (sqlite3_exec(db_,
                     "BEGIN IMMEDIATE; DROP TABLE IF EXISTS records_text;"
                     " DROP TABLE IF EXISTS records; DROP TABLE IF EXISTS logs;"
                     " DROP TABLE IF EXISTS types; DROP TABLE IF EXISTS days;",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        Fail("written");
    }
    try {
        CreateSchema();
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("written");
}

int64_t HistoryIndex::Count() {
    Statement s(db_, "SELECT COUNT(*) FROM records");
    if (sqlite3_step(s.get()) != SQLITE_ROW)
        Fail("read");
    return s.Int(0);
}

int64_t HistoryIndex::UnreadableLines() {
    Statement s(db_, "SELECT COALESCE(SUM(bad), 0) FROM logs");
    if (sqlite3_step(s.get()) != SQLITE_ROW)
        Fail("read");
    return s.Int(0);
}

void HistoryIndex::Interrupt() {
    stop_ = true;
    if (db_)
        sqlite3_interrupt(db_);
}

} // namespace kv
