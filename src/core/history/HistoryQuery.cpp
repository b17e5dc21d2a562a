// The transfer history's queries: the filter and order as SQL, the ids of a
// result with its files per day in one pass, the records of ids, and the
// days of a chart.
#include "history/HistoryIndex.h"

#include "history/HistorySql.h"
#include "util/Text.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <sqlite3.h>

namespace kv {

using history_sql::Statement;

namespace {

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

} // namespace kv
