// The transfer history's index over the transfer logs (SQLite).
#include "history/HistoryIndex.h"

#include "util/Fs.h"
#include "util/StateFiles.h"
#include "util/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// Raised when the schema changes: an index of another version is made anew.
constexpr int kSchemaVersion = 1;
// The bytes of a log's start that tell it from a new log of the same name.
constexpr size_t kHeadBytes = 64;
// Records per transaction while a large amount of logs is read, so that a
// stop keeps what was done and the write-ahead log stays small.
constexpr int64_t kRecordsPerCommit = 50000;
constexpr size_t kReadChunk = 1 << 20;

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

bool Damaged(int code) {
    code &= 0xff;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB || code == SQLITE_SCHEMA;
}

class DamagedIndex : public HistoryError {
public:
    using HistoryError::HistoryError;
};

struct LogFileState {
    int64_t id = 0;
    int64_t dev = 0, ino = 0, done = 0;
    std::string head;
};

std::string ReadHead(int fd, size_t n) {
    std::string head(n, '\0');
    ssize_t got = ::pread(fd, head.data(), n, 0);
    head.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return head;
}

const char* kRecordColumns = "ts, dir, name, size, sender, receiver, type";

TransferRecord RecordAt(Statement& s, int first) {
    TransferRecord r;
    r.time = s.Int(first);
    r.direction = s.Int(first + 1) ? TransferDirection::Sent : TransferDirection::Received;
    r.name = s.Text(first + 2);
    r.size = s.Int(first + 3);
    r.sender = s.Text(first + 4);
    r.receiver = s.Text(first + 5);
    r.type = s.Text(first + 6);
    return r;
}

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
}

// The filter as a WHERE clause over bound parameters ?1 to ?5.
std::string WhereClause(const HistoryFilter& f) {
    std::string w = " WHERE 1";
    if (!f.text.empty())
        w += " AND kv_has(?1, name, sender, receiver)";
    if (!f.type.empty())
        w += " AND type = ?2";
    if (f.direction)
        w += " AND dir = ?3";
    if (f.fromDay > 0)
        w += " AND ts >= ?4";
    if (f.untilDay > 0)
        w += " AND ts <= ?5";
    return w;
}

void BindFilter(Statement& s, const HistoryFilter& f) {
    if (!f.text.empty())
        s.Bind(1, LowerCase(f.text));
    if (!f.type.empty())
        s.Bind(2, f.type);
    if (f.direction)
        s.Bind(3, static_cast<int64_t>(*f.direction));
    if (f.fromDay > 0)
        s.Bind(4, f.fromDay * 1000000);
    if (f.untilDay > 0)
        s.Bind(5, f.untilDay * 1000000 + 235960);
}

std::string OrderClause(const HistorySort& s) {
    static const char* const columns[] = {"ts",     "dir",      "name", "size",
                                          "sender", "receiver", "type"};
    const char* dir = s.descending ? " DESC" : " ASC";
    std::string order = " ORDER BY ";
    if (s.column != HistoryColumn::Time)
        order += std::string(columns[static_cast<int>(s.column)]) + dir + ", ";
    return order + "ts" + (s.column == HistoryColumn::Time ? dir : " DESC") + ", id" +
           (s.column == HistoryColumn::Time ? dir : " DESC");
}

int64_t DayNumber(int64_t yyyymmdd) {
    std::tm tm{};
    tm.tm_year = static_cast<int>(yyyymmdd / 10000) - 1900;
    tm.tm_mon = static_cast<int>(yyyymmdd / 100 % 100) - 1;
    tm.tm_mday = static_cast<int>(yyyymmdd % 100);
    return static_cast<int64_t>(::timegm(&tm)) / 86400;
}

int64_t DayOfNumber(int64_t n) {
    const std::time_t t = static_cast<std::time_t>(n * 86400);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000LL + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

} // namespace

std::vector<DayCount> ContinuousDays(const std::vector<DayCount>& counts, int64_t fromDay,
                                     int64_t untilDay) {
    if (fromDay <= 0 && counts.empty())
        return {};
    const int64_t first = DayNumber(fromDay > 0 ? fromDay : counts.front().day);
    int64_t last = untilDay > 0 ? DayNumber(untilDay)
                                : (counts.empty() ? first : DayNumber(counts.back().day));
    // A range of centuries is no chart: it stops at the last transfer.
    if (last - first > 36600 && !counts.empty())
        last = std::max(first, DayNumber(counts.back().day));
    std::vector<DayCount> out;
    size_t i = 0;
    for (int64_t n = first; n <= last && n - first <= 36600; ++n) {
        const int64_t day = DayOfNumber(n);
        while (i < counts.size() && counts[i].day < day)
            ++i;
        if (i < counts.size() && counts[i].day == day)
            out.push_back(counts[i]);
        else
            out.push_back({day, 0, 0});
    }
    return out;
}

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
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(db_, 10000);
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
            Statement version(db_, "PRAGMA user_version");
            rc = sqlite3_step(version.get());
            const int64_t v = rc == SQLITE_ROW ? version.Int(0) : -1;
            rc = rc == SQLITE_ROW ? SQLITE_OK : rc;
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
        "CREATE TABLE IF NOT EXISTS logs(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL,"
        " dev INTEGER, ino INTEGER, done INTEGER, head BLOB, bad INTEGER DEFAULT 0);"
        "CREATE TABLE IF NOT EXISTS records(id INTEGER PRIMARY KEY, log INTEGER NOT NULL,"
        " ts INTEGER NOT NULL, dir INTEGER NOT NULL, name TEXT, size INTEGER, sender TEXT,"
        " receiver TEXT, type TEXT);"
        "CREATE INDEX IF NOT EXISTS records_ts ON records(ts);"
        "CREATE TABLE IF NOT EXISTS types(type TEXT PRIMARY KEY) WITHOUT ROWID;";
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("written");
    if (sqlite3_exec(db_, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(),
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("written");
}

void HistoryIndex::Reset() {
    if (sqlite3_exec(db_,
                     "BEGIN IMMEDIATE; DROP TABLE IF EXISTS records; DROP TABLE IF EXISTS logs;"
                     " DROP TABLE IF EXISTS types;",
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

RefreshResult HistoryIndex::Refresh(const Progress& progress) {
    stop_ = false;
    try {
        return RefreshOnce(progress);
    } catch (const DamagedIndex&) {
        // A file damaged under us (a disk error, a copy cut short): made anew.
        Close();
        for (const char* suffix : {"", "-wal", "-shm"})
            ::unlink((path_ + suffix).c_str());
        rebuildPending_ = true;
        OpenFile();
        return RefreshOnce(progress);
    }
}

RefreshResult HistoryIndex::RefreshOnce(const Progress& progress) {
    RefreshResult result;
    result.rebuilt = rebuildPending_;
    const std::string folder = JoinPath(programDir_, kLogFolderName);
    const std::vector<std::string> names = ListFolder(folder, "KVTSF*.LOG", true);

    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("written");
    struct Rollback {
        sqlite3* db;
        bool active = true;
        ~Rollback() {
            if (active)
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    } rollback{db_};

    std::map<std::string, LogFileState> known;
    {
        Statement s(db_, "SELECT id, name, dev, ino, done, head FROM logs");
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
            known[s.Text(1)] = {s.Int(0), s.Int(2), s.Int(3), s.Int(4), s.Text(5)};
        if (rc != SQLITE_DONE)
            Fail("read");
    }
    Statement dropRecords(db_, "DELETE FROM records WHERE log = ?1");
    Statement dropLog(db_, "DELETE FROM logs WHERE id = ?1");
    auto forget = [&](int64_t id, bool keepRow) {
        dropRecords.Bind(1, id);
        if (sqlite3_step(dropRecords.get()) != SQLITE_DONE)
            Fail("written");
        result.removed += sqlite3_changes(db_);
        dropRecords.Reset();
        if (!keepRow) {
            dropLog.Bind(1, id);
            if (sqlite3_step(dropLog.get()) != SQLITE_DONE)
                Fail("written");
            dropLog.Reset();
        }
    };
    // Logs that are gone (cleaned away) take their records with them.
    for (const auto& [name, st] : known)
        if (std::find(names.begin(), names.end(), name) == names.end())
            forget(st.id, false);

    // What is to be read: each log from where the index left it.
    struct Work {
        std::string name;
        int fd;
        int64_t from, size, logId;
        struct stat st;
    };
    std::vector<Work> work;
    int64_t total = 0;
    struct Fds {
        std::vector<Work>& w;
        ~Fds() {
            for (auto& x : w)
                ::close(x.fd);
        }
    } closeAll{work};
    Statement addLog(db_, "INSERT INTO logs(name, dev, ino, done, head, bad)"
                          " VALUES(?1, ?2, ?3, 0, ?4, 0)");
    Statement setLog(db_, "UPDATE logs SET dev = ?2, ino = ?3, done = 0, head = ?4, bad = 0"
                          " WHERE id = ?1");
    for (const std::string& name : names) {
        const std::string path = JoinPath(folder, name);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat st;
        if (fd < 0)
            continue; // unreadable now: looked at again next time
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            continue;
        }
        const std::string head = ReadHead(fd, kHeadBytes);
        auto it = known.find(name);
        int64_t from = 0;
        int64_t logId = 0;
        if (it != known.end()) {
            const LogFileState& k = it->second;
            logId = k.id;
            const bool same = k.dev == static_cast<int64_t>(st.st_dev) &&
                              k.ino == static_cast<int64_t>(st.st_ino) && st.st_size >= k.done &&
                              head.compare(0, k.head.size(), k.head) == 0;
            if (same && k.done == st.st_size) {
                ::close(fd);
                continue;
            }
            if (same) {
                from = k.done;
            } else {
                // Replaced or cut short: read anew.
                forget(logId, true);
                setLog.Bind(1, logId);
                setLog.Bind(2, static_cast<int64_t>(st.st_dev));
                setLog.Bind(3, static_cast<int64_t>(st.st_ino));
                setLog.BindBlob(4, head);
                if (sqlite3_step(setLog.get()) != SQLITE_DONE)
                    Fail("written");
                setLog.Reset();
            }
        } else {
            addLog.Bind(1, name);
            addLog.Bind(2, static_cast<int64_t>(st.st_dev));
            addLog.Bind(3, static_cast<int64_t>(st.st_ino));
            addLog.BindBlob(4, head);
            if (sqlite3_step(addLog.get()) != SQLITE_DONE)
                Fail("written");
            addLog.Reset();
            logId = sqlite3_last_insert_rowid(db_);
        }
        work.push_back({name, fd, from, static_cast<int64_t>(st.st_size), logId, st});
        total += static_cast<int64_t>(st.st_size) - from;
    }

    Statement insert(db_, "INSERT INTO records(log, ts, dir, name, size, sender, receiver, type)"
                          " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    Statement addType(db_, "INSERT OR IGNORE INTO types(type) VALUES(?1)");
    std::string lastType;
    Statement setDone(db_, "UPDATE logs SET done = ?2, head = ?3, bad = bad + ?4 WHERE id = ?1");
    int64_t doneBytes = 0;
    int64_t sinceCommit = 0;
    if (progress)
        progress(0, total);
    std::string buffer;
    for (Work& w : work) {
        int64_t offset = w.from;
        int64_t bad = 0;
        buffer.clear();
        int64_t bufferStart = offset;
        auto saveDone = [&](int64_t done) {
            setDone.Bind(1, w.logId);
            setDone.Bind(2, done);
            setDone.BindBlob(3, ReadHead(w.fd, kHeadBytes));
            setDone.Bind(4, bad);
            if (sqlite3_step(setDone.get()) != SQLITE_DONE)
                Fail("written");
            setDone.Reset();
            bad = 0;
        };
        while (offset < w.size) {
            std::string chunk(static_cast<size_t>(std::min<int64_t>(kReadChunk, w.size - offset)),
                              '\0');
            ssize_t got = ::pread(w.fd, chunk.data(), chunk.size(), offset);
            if (got <= 0)
                break;
            chunk.resize(static_cast<size_t>(got));
            offset += got;
            buffer += chunk;
            // Whole lines only: a line still being written waits for its end.
            size_t lineStart = 0;
            for (size_t nl = buffer.find('\n'); nl != std::string::npos;
                 nl = buffer.find('\n', lineStart)) {
                std::string_view line(buffer.data() + lineStart, nl - lineStart);
                lineStart = nl + 1;
                if (line.empty() || line == "\r")
                    continue;
                std::optional<TransferRecord> r = ParseTransferRecord(line);
                if (!r) {
                    ++bad;
                    continue;
                }
                insert.Bind(1, w.logId);
                insert.Bind(2, r->time);
                insert.Bind(3, static_cast<int64_t>(r->direction));
                insert.Bind(4, r->name);
                insert.Bind(5, r->size);
                insert.Bind(6, r->sender);
                insert.Bind(7, r->receiver);
                insert.Bind(8, r->type);
                if (sqlite3_step(insert.get()) != SQLITE_DONE)
                    Fail("written");
                insert.Reset();
                if (r->type != lastType) {
                    addType.Bind(1, r->type);
                    if (sqlite3_step(addType.get()) != SQLITE_DONE)
                        Fail("written");
                    addType.Reset();
                    lastType = r->type;
                }
                ++result.added;
                ++sinceCommit;
            }
            buffer.erase(0, lineStart);
            bufferStart = offset - static_cast<int64_t>(buffer.size());
            doneBytes += got;
            if (sinceCommit >= kRecordsPerCommit) {
                saveDone(bufferStart);
                if (sqlite3_exec(db_, "COMMIT; BEGIN IMMEDIATE", nullptr, nullptr, nullptr) !=
                    SQLITE_OK)
                    Fail("written");
                sinceCommit = 0;
            }
            if (progress)
                progress(doneBytes, total);
            if (stop_)
                throw HistoryInterrupted(); // what was committed stays
        }
        saveDone(bufferStart);
    }
    // Records that went may have taken the last of a type with them.
    if (result.removed > 0 &&
        sqlite3_exec(db_, "DELETE FROM types; INSERT INTO types SELECT DISTINCT type FROM records",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("written");
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("written");
    rollback.active = false;
    rebuildPending_ = false;
    GiveFilesToFolderOwner();
    if (progress)
        progress(total, total);
    return result;
}

bool HistoryIndex::NeedsRefresh() {
    const std::string folder = JoinPath(programDir_, kLogFolderName);
    const std::vector<std::string> names = ListFolder(folder, "KVTSF*.LOG", true);
    Statement s(db_, "SELECT name, dev, ino, done FROM logs");
    size_t seen = 0;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        ++seen;
        struct stat st;
        if (::stat(JoinPath(folder, s.Text(0)).c_str(), &st) != 0 ||
            static_cast<int64_t>(st.st_dev) != s.Int(1) ||
            static_cast<int64_t>(st.st_ino) != s.Int(2) || st.st_size != s.Int(3))
            return true;
    }
    if (rc != SQLITE_DONE)
        return true;
    return seen != names.size() || rebuildPending_;
}

HistoryIndex::Found HistoryIndex::Query(const HistoryFilter& filter, const HistorySort& sort) {
    // Newest first (the usual order) is sorted here: SQLite would follow the
    // time index and fetch every row out of order, which costs more than
    // the scan.
    const bool byTime = sort.column == HistoryColumn::Time;
    Statement s(db_, ("SELECT id, ts, dir FROM records" + WhereClause(filter) +
                      (byTime ? std::string() : OrderClause(sort)))
                         .c_str());
    BindFilter(s, filter);
    Found found;
    std::vector<std::pair<int64_t, int64_t>> byStamp; // time, id
    std::map<int64_t, DayCount> days;
    DayCount* today = nullptr; // rows come mostly in log order: one day after the other
    int64_t todayNumber = -1;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        const int64_t id = s.Int(0), ts = s.Int(1);
        if (byTime)
            byStamp.emplace_back(ts, id);
        else
            found.ids.push_back(id);
        if (ts / 1000000 != todayNumber) {
            todayNumber = ts / 1000000;
            today = &days[todayNumber];
        }
        ++(s.Int(2) ? today->sent : today->received);
    }
    if (rc != SQLITE_DONE)
        Fail("read");
    if (byTime) {
        if (sort.descending)
            std::sort(byStamp.begin(), byStamp.end(), std::greater<>());
        else
            std::sort(byStamp.begin(), byStamp.end());
        found.ids.reserve(byStamp.size());
        for (const auto& p : byStamp)
            found.ids.push_back(p.second);
    }
    found.days.reserve(days.size());
    for (auto& [day, count] : days) {
        count.day = day;
        found.days.push_back(count);
    }
    return found;
}

std::vector<TransferRecord> HistoryIndex::Fetch(const std::vector<int64_t>& ids) {
    Statement s(db_,
                (std::string("SELECT ") + kRecordColumns + " FROM records WHERE id = ?1").c_str());
    std::vector<TransferRecord> out;
    out.reserve(ids.size());
    for (int64_t id : ids) {
        s.Bind(1, id);
        int rc = sqlite3_step(s.get());
        if (rc == SQLITE_ROW)
            out.push_back(RecordAt(s, 0));
        else if (rc != SQLITE_DONE)
            Fail("read");
        s.Reset();
    }
    return out;
}

void HistoryIndex::ForEach(const HistoryFilter& filter, const HistorySort& sort,
                           const std::function<void(const TransferRecord&)>& each) {
    Statement s(db_, (std::string("SELECT ") + kRecordColumns + " FROM records" +
                      WhereClause(filter) + OrderClause(sort))
                         .c_str());
    BindFilter(s, filter);
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
        each(RecordAt(s, 0));
    if (rc != SQLITE_DONE)
        Fail("read");
}

std::vector<std::string> HistoryIndex::Types() {
    Statement s(db_, "SELECT type FROM types ORDER BY type");
    std::vector<std::string> out;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
        out.push_back(s.Text(0));
    if (rc != SQLITE_DONE)
        Fail("read");
    return out;
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
