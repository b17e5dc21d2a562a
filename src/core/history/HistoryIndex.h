#pragma once
// The transfer history: an index of every record of the transfer logs in
// "LOG/" (SQLite, "LOG/KVHISTORY.DB"), kept beside the logs so that a
// person finds any transfer of years of logs at once. The logs stay the
// source of truth: the index only ever reads them, takes what was appended
// since it last looked (records may be appended to any log, an older
// month's included), drops what belongs to a log that is gone or was
// replaced, and is made again from the logs when it is missing or damaged.
// One object per thread; another thread may only call Interrupt.
#include "history/TransferRecord.h"
#include "util/Errors.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kv {

// The index could not be opened, read or written; the message says why and
// what to do.
class HistoryError : public KvError {
public:
    using KvError::KvError;
};
// Interrupt() stopped the running query.
class HistoryInterrupted : public HistoryError {
public:
    HistoryInterrupted() : HistoryError("interrupted") {}
};

inline constexpr const char* kHistoryIndexName = "LOG/KVHISTORY.DB";

struct HistoryFilter {
    // Part of the name, the sender or the receiver (ASCII letter case ignored).
    std::string text;
    // The type exactly; empty for any.
    std::string type;
    std::optional<TransferDirection> direction;
    // Days as yyyymmdd, both included; 0 for no limit.
    int64_t fromDay = 0;
    int64_t untilDay = 0;
};

enum class HistoryColumn { Time, Direction, Name, Size, Sender, Receiver, Type };

struct HistorySort {
    HistoryColumn column = HistoryColumn::Time;
    bool descending = true;
};

struct DayCount {
    int64_t day = 0; // yyyymmdd
    int64_t received = 0;
    int64_t sent = 0;
};

// Every day from the first to the last of counts (or from fromDay to
// untilDay when they are set), days without transfers as zeros, so that a
// chart shows a gap as one.
std::vector<DayCount> ContinuousDays(const std::vector<DayCount>& counts, int64_t fromDay = 0,
                                     int64_t untilDay = 0);

struct RefreshResult {
    int64_t added = 0;    // records taken from the logs
    int64_t removed = 0;  // records of logs that are gone or were replaced
    bool rebuilt = false; // the index was missing or damaged and made anew
    // Another program was bringing the index up to date: nothing was taken,
    // and the queries read the index as that program last committed it.
    bool busy = false;
};

class HistoryIndex {
public:
    // Opens the index of the program folder's logs, creating it when there
    // is none. An index file that is damaged or of another version is
    // removed and made anew by the next Refresh; a database that is not an
    // index of ours is set aside under a free name ("KVHISTORY.DB.foreign",
    // then with a number) and Warning() says where. When the file cannot be
    // written (a folder of another user), the index is kept in memory for
    // the life of this object and Warning() says so.
    explicit HistoryIndex(const std::string& programDir);
    ~HistoryIndex();
    HistoryIndex(const HistoryIndex&) = delete;
    HistoryIndex& operator=(const HistoryIndex&) = delete;

    // Brings the index up to date with the logs. progress(done, total) is
    // called with the bytes of logs read so far and the bytes to read. When
    // another program holds the index for writing for longer than a short
    // wait, it returns with busy set and the last committed state stays.
    using Progress = std::function<void(int64_t done, int64_t total)>;
    RefreshResult Refresh(const Progress& progress = {});
    // Whether a log was added, grew, shrank or went since the last Refresh
    // (file sizes and identities only: cheap enough for a timer).
    bool NeedsRefresh();

    // The records that pass the filter, as ids, in the order asked for
    // (ties newest first), with the files received and sent per day among
    // them (oldest day first, days without any left out): one pass.
    struct Found {
        std::vector<int64_t> ids;
        std::vector<DayCount> days;
    };
    Found Query(const HistoryFilter& filter, const HistorySort& sort);
    // The records of these ids, in the same order (a record gone meanwhile
    // is left out).
    std::vector<TransferRecord> Fetch(const std::vector<int64_t>& ids);
    // Each record that passes, in order, without holding them all.
    void ForEach(const HistoryFilter& filter, const HistorySort& sort,
                 const std::function<void(const TransferRecord&)>& each);
    // The types of all records, sorted.
    std::vector<std::string> Types();
    int64_t Count();
    // Lines of the logs that are no record (a damaged line), as of the last Refresh.
    int64_t UnreadableLines();

    // Stops the query running on the object's thread (callable from any thread).
    void Interrupt();
    // Why the index is kept in memory only; empty when it is in its file.
    const std::string& Warning() const { return warning_.empty() ? note_ : warning_; }
    const std::string& Path() const { return path_; }

private:
    void OpenFile();
    bool IsForeign();
    void SetAside();
    void Close();
    void CreateSchema();
    void Reset(); // drops everything and makes the schema anew
    void GiveFilesToFolderOwner();
    RefreshResult RefreshOnce(const Progress& progress);
    Found QueryByIndex(const HistoryFilter& filter, const HistorySort& sort);
    class RefreshPass; // one refresh's reads and writes (HistoryRefresh.cpp)
    [[noreturn]] void Fail(const std::string& what);

    std::string programDir_;
    std::string path_;
    std::string warning_;
    std::string note_; // where a foreign database was set aside
    sqlite3* db_ = nullptr;
    bool rebuildPending_ = false;
    // Interrupt() asked the running Refresh to stop (between its statements,
    // where SQLite's own interruption does not reach).
    std::atomic<bool> stop_{false};
};

} // namespace kv
