// The transfer history's refresh: takes into the index what the transfer
// logs gained since it last looked, from where it left each log, and drops
// the records of logs that are gone or were replaced. One pass is one
// transaction, committed every so many records so that a stop keeps what
// was done.
#include "history/HistoryIndex.h"

#include "history/HistorySql.h"
#include "util/Fs.h"
#include "util/StateFiles.h"

#include <algorithm>
#include <fcntl.h>
#include <map>
#include <sqlite3.h>
#include <string_view>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace kv {

using history_sql::DamagedIndex;
using history_sql::Statement;

namespace {

// The bytes of a log's start that tell it from a new log of the same name.
constexpr size_t kHeadBytes = 64;
// Records per transaction while a large amount of logs is read, so that a
// stop keeps what was done and the write-ahead log stays small.
constexpr int64_t kRecordsPerCommit = 50000;
constexpr size_t kReadChunk = 1 << 20;
// A line longer than this is no record (a name is at most a few hundred
// bytes): it is counted as unreadable when its end comes, never held whole.
constexpr int64_t kLongestLine = 1 << 20;

// What the index knows of a log: its identity, how far it was read, and
// the bytes it started with.
struct LogFileState {
    int64_t id = 0;
    int64_t dev = 0, ino = 0, done = 0, scanned = 0;
    std::string head;
};

std::string ReadHead(int fd, size_t n) {
    std::string head(n, '\0');
    ssize_t got = ::pread(fd, head.data(), n, 0);
    head.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return head;
}

// Rolls back the transaction it guards unless it was committed.
struct Rollback {
    sqlite3* db;
    bool active = true;
    ~Rollback() {
        if (active)
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
};

std::vector<std::string> LogNames(const std::string& folder) {
    return ListFolder(folder, "KVTSF*.LOG", true);
}

} // namespace

class HistoryIndex::RefreshPass {
public:
    RefreshPass(HistoryIndex& index, const Progress& progress)
        : x_(index), db_(index.db_), progress_(progress),
          folder_(JoinPath(index.programDir_, kLogFolderName)) {}

    RefreshResult Run() {
        result_.rebuilt = x_.rebuildPending_;
        const std::vector<std::string> names = LogNames(folder_);
        const std::map<std::string, LogFileState> known = KnownLogs();
        // Logs that are gone (cleaned away) take their records with them.
        for (const auto& [name, st] : known)
            if (std::find(names.begin(), names.end(), name) == names.end())
                Forget(st.id, false);
        OpenLogs closeAll;
        for (const std::string& name : names)
            PlanRead(name, known, closeAll.reads);
        if (progress_)
            progress_(0, total_);
        for (LogRead& r : closeAll.reads)
            ReadLog(r);
        SaveDays();
        // Records that went may have taken the last of a type with them.
        if (result_.removed > 0 && sqlite3_exec(db_,
                                                "DELETE FROM types; INSERT INTO types"
                                                " SELECT DISTINCT type FROM records",
                                                nullptr, nullptr, nullptr) != SQLITE_OK)
            x_.Fail("written");
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            x_.Fail("written");
        return result_;
    }

    int64_t total() const { return total_; }

private:
    // A log to read from `from` to `size` into the records of log `logId`;
    // the bytes from `from` to `scanned` hold no line end.
    struct LogRead {
        int fd;
        int64_t from, scanned, size, logId;
    };
    struct OpenLogs {
        std::vector<LogRead> reads;
        ~OpenLogs() {
            for (LogRead& r : reads)
                ::close(r.fd);
        }
    };
    std::map<std::string, LogFileState> KnownLogs() {
        std::map<std::string, LogFileState> known;
        Statement s(db_, "SELECT id, name, dev, ino, done, MAX(done, scanned), head FROM logs");
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
            known[s.Text(1)] = {s.Int(0), s.Int(2), s.Int(3), s.Int(4), s.Int(5), s.Text(6)};
        if (rc != SQLITE_DONE)
            x_.Fail("read");
        return known;
    }

    void Step(Statement& s) {
        if (sqlite3_step(s.get()) != SQLITE_DONE)
            x_.Fail("written");
        s.Reset();
    }

    // Drops a log's records (with their text and their share of the days),
    // and its row unless it is to be read anew.
    void Forget(int64_t id, bool keepRow) {
        SaveDays();
        dropText_.Bind(1, id);
        Step(dropText_);
        dropDays_.Bind(1, id);
        Step(dropDays_);
        Step(dropEmptyDays_);
        dropRecords_.Bind(1, id);
        if (sqlite3_step(dropRecords_.get()) != SQLITE_DONE)
            x_.Fail("written");
        result_.removed += sqlite3_changes(db_);
        dropRecords_.Reset();
        if (!keepRow) {
            dropLog_.Bind(1, id);
            Step(dropLog_);
        }
    }

    // Decides what of one log is to be read: nothing when the index has all
    // of it, what it gained, or all of it when it is new, replaced or cut
    // short.
    void PlanRead(const std::string& name, const std::map<std::string, LogFileState>& known,
                  std::vector<LogRead>& reads) {
        int fd = ::open(JoinPath(folder_, name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat st;
        if (fd < 0)
            return; // unreadable now: looked at again next time
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return;
        }
        const std::string head = ReadHead(fd, kHeadBytes);
        int64_t from = 0, scanned = 0;
        int64_t logId = 0;
        auto it = known.find(name);
        if (it != known.end()) {
            const LogFileState& k = it->second;
            logId = k.id;
            const bool same = k.dev == static_cast<int64_t>(st.st_dev) &&
                              k.ino == static_cast<int64_t>(st.st_ino) && st.st_size >= k.scanned &&
                              head.compare(0, k.head.size(), k.head) == 0;
            if (same && k.scanned == st.st_size) {
                ::close(fd);
                return;
            }
            if (same) {
                from = k.done;
                scanned = k.scanned;
            } else {
                Forget(logId, true);
                setLog_.Bind(1, logId);
                BindIdentity(setLog_, st, head);
                Step(setLog_);
            }
        } else {
            addLog_.Bind(1, name);
            BindIdentity(addLog_, st, head);
            Step(addLog_);
            logId = sqlite3_last_insert_rowid(db_);
        }
        reads.push_back({fd, from, scanned, static_cast<int64_t>(st.st_size), logId});
        total_ += static_cast<int64_t>(st.st_size) - scanned;
    }

    static void BindIdentity(Statement& s, const struct stat& st, const std::string& head) {
        s.Bind(2, static_cast<int64_t>(st.st_dev));
        s.Bind(3, static_cast<int64_t>(st.st_ino));
        s.BindBlob(4, head);
    }

    // Reads a log's whole lines from where the index left it; a line still
    // being written waits for its end, and what of it was looked at is not
    // searched again. A line too long to be a record is skipped unheld.
    void ReadLog(LogRead& r) {
        int64_t lineStart = r.from;
        int64_t offset = std::max(r.from, r.scanned);
        bool overlong = offset - lineStart > kLongestLine;
        std::string line;
        if (!overlong && offset > lineStart) {
            line.resize(static_cast<size_t>(offset - lineStart));
            const ssize_t got = ::pread(r.fd, line.data(), line.size(), lineStart);
            if (got != static_cast<ssize_t>(line.size()))
                return; // the log changed under us: looked at again next time
        }
        std::string chunk(kReadChunk, '\0');
        while (offset < r.size) {
            const ssize_t got = ::pread(
                r.fd, chunk.data(),
                static_cast<size_t>(std::min<int64_t>(kReadChunk, r.size - offset)), offset);
            if (got <= 0)
                break;
            const std::string_view piece(chunk.data(), static_cast<size_t>(got));
            size_t pos = 0;
            for (size_t nl = piece.find('\n'); nl != std::string_view::npos;
                 nl = piece.find('\n', pos)) {
                if (overlong) {
                    ++bad_;
                } else {
                    line.append(piece.substr(pos, nl - pos));
                    TakeLine(line, r.logId);
                }
                line.clear();
                overlong = false;
                pos = nl + 1;
                lineStart = offset + static_cast<int64_t>(pos);
            }
            if (!overlong) {
                line.append(piece.substr(pos));
                if (static_cast<int64_t>(line.size()) > kLongestLine) {
                    overlong = true;
                    std::string().swap(line);
                }
            }
            offset += got;
            doneBytes_ += got;
            if (sinceCommit_ >= kRecordsPerCommit) {
                SaveDone(r, lineStart, offset);
                SaveDays();
                if (sqlite3_exec(db_, "COMMIT; BEGIN IMMEDIATE", nullptr, nullptr, nullptr) !=
                    SQLITE_OK)
                    x_.Fail("written");
                sinceCommit_ = 0;
            }
            if (progress_)
                progress_(doneBytes_, total_);
            if (x_.stop_)
                throw HistoryInterrupted(); // what was committed stays
        }
        SaveDone(r, lineStart, offset);
    }

    void TakeLine(std::string_view line, int64_t logId) {
        if (line.empty() || line == "\r")
            return;
        std::optional<TransferRecord> r = ParseTransferRecord(line);
        if (!r) {
            ++bad_;
            return;
        }
        insert_.Bind(1, logId);
        insert_.Bind(2, r->time);
        insert_.Bind(3, static_cast<int64_t>(r->direction));
        insert_.Bind(4, r->name);
        insert_.Bind(5, r->size);
        insert_.Bind(6, r->sender);
        insert_.Bind(7, r->receiver);
        insert_.Bind(8, r->type);
        Step(insert_);
        text_.Bind(1, sqlite3_last_insert_rowid(db_));
        text_.Bind(2, r->name);
        text_.Bind(3, r->sender);
        text_.Bind(4, r->receiver);
        Step(text_);
        ++days_[{r->time / 1000000, static_cast<int>(r->direction), r->type}];
        if (r->type != lastType_) {
            addType_.Bind(1, r->type);
            Step(addType_);
            lastType_ = r->type;
        }
        ++result_.added;
        ++sinceCommit_;
    }

    void SaveDone(const LogRead& r, int64_t done, int64_t scanned) {
        setDone_.Bind(1, r.logId);
        setDone_.Bind(2, done);
        setDone_.BindBlob(3, ReadHead(r.fd, kHeadBytes));
        setDone_.Bind(4, bad_);
        setDone_.Bind(5, scanned);
        Step(setDone_);
        bad_ = 0;
    }

    // Adds the files per day gathered since the last save.
    void SaveDays() {
        for (const auto& [key, n] : days_) {
            addDay_.Bind(1, std::get<0>(key));
            addDay_.Bind(2, static_cast<int64_t>(std::get<1>(key)));
            addDay_.Bind(3, std::get<2>(key));
            addDay_.Bind(4, n);
            Step(addDay_);
        }
        days_.clear();
    }

    HistoryIndex& x_;
    sqlite3* db_;
    const Progress& progress_;
    const std::string folder_;
    RefreshResult result_;
    int64_t total_ = 0;     // bytes to read
    int64_t doneBytes_ = 0; // bytes read
    int64_t sinceCommit_ = 0;
    int64_t bad_ = 0; // lines of the log being read that are no record
    std::string lastType_;
    std::map<std::tuple<int64_t, int, std::string>, int64_t> days_; // day, dir, type: files
    Statement dropRecords_{db_, "DELETE FROM records WHERE log = ?1"};
    Statement dropText_{db_, "INSERT INTO records_text(records_text, rowid, name, sender, receiver)"
                             " SELECT 'delete', id, name, sender, receiver FROM records"
                             " WHERE log = ?1"};
    Statement dropDays_{db_, "UPDATE days SET n = n - c FROM (SELECT ts / 1000000 AS d, dir AS r,"
                             " type AS t, COUNT(*) AS c FROM records WHERE log = ?1"
                             " GROUP BY 1, 2, 3) WHERE day = d AND dir = r AND type IS t"};
    Statement dropEmptyDays_{db_, "DELETE FROM days WHERE n <= 0"};
    Statement text_{db_, "INSERT INTO records_text(rowid, name, sender, receiver)"
                         " VALUES(?1, ?2, ?3, ?4)"};
    Statement addDay_{db_, "INSERT INTO days(day, dir, type, n) VALUES(?1, ?2, ?3, ?4)"
                           " ON CONFLICT(day, dir, type) DO UPDATE SET n = n + excluded.n"};
    Statement dropLog_{db_, "DELETE FROM logs WHERE id = ?1"};
    Statement addLog_{db_, "INSERT INTO logs(name, dev, ino, done, head, bad)"
                           " VALUES(?1, ?2, ?3, 0, ?4, 0)"};
    Statement setLog_{db_, "UPDATE logs SET dev = ?2, ino = ?3, done = 0, scanned = 0,"
                           " head = ?4, bad = 0 WHERE id = ?1"};
    Statement insert_{db_, "INSERT INTO records(log, ts, dir, name, size, sender, receiver, type)"
                           " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"};
    Statement addType_{db_, "INSERT OR IGNORE INTO types(type) VALUES(?1)"};
    Statement setDone_{db_, "UPDATE logs SET done = ?2, head = ?3, bad = bad + ?4, scanned = ?5"
                            " WHERE id = ?1"};
};

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
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        // Another program is writing it: what it last committed is read.
        if ((sqlite3_errcode(db_) & 0xff) == SQLITE_BUSY && !rebuildPending_) {
            RefreshResult busy;
            busy.busy = true;
            return busy;
        }
        Fail("written");
    }
    Rollback rollback{db_};
    RefreshPass pass(*this, progress);
    const RefreshResult result = pass.Run(); // ends with the commit
    rollback.active = false;
    rebuildPending_ = false;
    GiveFilesToFolderOwner();
    if (progress)
        progress(pass.total(), pass.total());
    return result;
}

bool HistoryIndex::NeedsRefresh() {
    const std::string folder = JoinPath(programDir_, kLogFolderName);
    const std::vector<std::string> names = LogNames(folder);
    Statement s(db_, "SELECT name, dev, ino, MAX(done, scanned) FROM logs");
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

} // namespace kv
