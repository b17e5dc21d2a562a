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

// The distinct trigrams of a text, each quoted as an FTS5 string, or none
// when the text is too short for one or is no UTF-8 (then every row is
// looked at). The trigram index folds more than ASCII letter case, so what
// it finds is a superset that kv_has narrows.
std::vector<std::string> Trigrams(const std::string& text) {
    std::vector<size_t> starts; // of each character
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > text.size() || c == 0)
            return {};
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
                return {};
        starts.push_back(i);
        i += n;
    }
    starts.push_back(text.size());
    std::vector<std::string> trigrams;
    for (size_t i = 0; i + 3 < starts.size(); ++i) {
        std::string quoted = "\"";
        for (size_t k = starts[i]; k < starts[i + 3]; ++k)
            quoted += text[k] == '"' ? std::string("\"\"") : std::string(1, text[k]);
        quoted += '"';
        if (std::find(trigrams.begin(), trigrams.end(), quoted) == trigrams.end())
            trigrams.push_back(std::move(quoted));
    }
    return trigrams;
}

std::string AllOf(const std::vector<std::string>& trigrams) {
    std::string query;
    for (const std::string& t : trigrams)
        query += (query.empty() ? "" : " AND ") + t;
    return query;
}

// The rarest of the trigrams: a trigram every record has (a common part of
// the partners' codes) costs a pass over the whole index, and one or two
// rare ones leave few candidates for kv_has. Each trigram's rows are
// counted up to a bound that grows until one of them stays below it, so
// the common ones are never counted through.
std::string RarestTrigrams(sqlite3* db, const std::vector<std::string>& trigrams) {
    Statement probe(db, "SELECT COUNT(*) FROM (SELECT rowid FROM records_text"
                        " WHERE records_text MATCH ?1 LIMIT ?2)");
    std::vector<std::pair<int64_t, std::string>> below; // rows, trigram
    std::vector<std::string> open = trigrams;
    for (int64_t bound = 4096; !open.empty() && below.empty(); bound *= 8) {
        std::vector<std::string> still;
        for (const std::string& t : open) {
            probe.Bind(1, t);
            probe.Bind(2, bound);
            const int64_t n = sqlite3_step(probe.get()) == SQLITE_ROW ? probe.Int(0) : bound;
            probe.Reset();
            if (n == 0)
                return t; // no record has it
            if (n < bound)
                below.emplace_back(n, t);
            else
                still.push_back(t);
        }
        open.swap(still);
        if (bound > (int64_t{1} << 40))
            break;
    }
    if (below.empty())
        return AllOf(trigrams);
    std::stable_sort(below.begin(), below.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string rarest = below[0].second;
    if (below.size() > 1)
        rarest += " AND " + below[1].second;
    return rarest;
}

// The filter as a WHERE clause over bound parameters ?1 to ?6.
std::string WhereClause(const HistoryFilter& f) {
    std::string w = " WHERE 1";
    if (!Trigrams(f.text).empty())
        w += " AND id IN (SELECT rowid FROM records_text WHERE records_text MATCH ?6)";
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

// match: the trigrams the candidates must have (all of the text's when empty).
void BindFilter(Statement& s, const HistoryFilter& f, const std::string& match = {}) {
    if (!f.text.empty())
        s.Bind(1, LowerCase(f.text));
    if (const std::vector<std::string> trigrams = Trigrams(f.text); !trigrams.empty())
        s.Bind(6, match.empty() ? AllOf(trigrams) : match);
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
    if (filter.text.empty())
        return QueryByIndex(filter, sort);
    // A text filter: its candidates come from the trigram index (or a scan
    // for one or two letters), few enough to count and sort here.
    const bool byTime = sort.column == HistoryColumn::Time;
    const std::vector<std::string> trigrams = Trigrams(filter.text);
    const std::string match = trigrams.empty() ? std::string() : RarestTrigrams(db_, trigrams);
    Statement s(db_, ("SELECT kv_collect(id, ts, dir) FROM (SELECT id, ts, dir FROM records" +
                      WhereClause(filter) + (byTime ? std::string() : OrderClause(sort)) + ")")
                         .c_str());
    BindFilter(s, filter, match);
    std::vector<int64_t>& rows = history_sql::Collected(); // id, ts, dir of each row
    rows.clear();
    if (sqlite3_step(s.get()) != SQLITE_ROW)
        Fail("read");
    Found found;
    std::vector<std::pair<int64_t, int64_t>> byStamp; // time, id
    std::map<int64_t, DayCount> days;
    for (size_t i = 0; i + 2 < rows.size(); i += 3) {
        const int64_t id = rows[i], ts = rows[i + 1];
        if (byTime)
            byStamp.emplace_back(ts, id);
        else
            found.ids.push_back(id);
        DayCount& day = days[ts / 1000000];
        ++(rows[i + 2] ? day.sent : day.received);
    }
    std::vector<int64_t>().swap(rows);
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

HistoryIndex::Found HistoryIndex::QueryByIndex(const HistoryFilter& filter,
                                               const HistorySort& sort) {
    // Time, direction and type each have an index in the order shown, so
    // the ids come in order; the chart's days come from the kept counts,
    // which also tell how many ids to make room for.
    Found found;
    std::string where = " WHERE 1";
    if (!filter.type.empty())
        where += " AND type = ?2";
    if (filter.direction)
        where += " AND dir = ?3";
    if (filter.fromDay > 0)
        where += " AND day >= ?4";
    if (filter.untilDay > 0)
        where += " AND day <= ?5";
    Statement days(db_, ("SELECT day, SUM(CASE WHEN dir = 0 THEN n ELSE 0 END),"
                         " SUM(CASE WHEN dir = 1 THEN n ELSE 0 END) FROM days" +
                         where + " GROUP BY day ORDER BY day")
                            .c_str());
    if (!filter.type.empty())
        days.Bind(2, filter.type);
    if (filter.direction)
        days.Bind(3, static_cast<int64_t>(*filter.direction));
    if (filter.fromDay > 0)
        days.Bind(4, filter.fromDay);
    if (filter.untilDay > 0)
        days.Bind(5, filter.untilDay);
    int rc;
    int64_t total = 0;
    while ((rc = sqlite3_step(days.get())) == SQLITE_ROW)
        if (days.Int(1) > 0 || days.Int(2) > 0) {
            found.days.push_back({days.Int(0), days.Int(1), days.Int(2)});
            total += days.Int(1) + days.Int(2);
        }
    if (rc != SQLITE_DONE)
        Fail("read");

    Statement ids(db_, ("SELECT kv_collect(id) FROM (SELECT id FROM records" + WhereClause(filter) +
                        OrderClause(sort) + ")")
                           .c_str());
    BindFilter(ids, filter);
    std::vector<int64_t>& collected = history_sql::Collected();
    collected.clear();
    collected.reserve(static_cast<size_t>(total));
    const int stepped = sqlite3_step(ids.get());
    found.ids.swap(collected);
    if (stepped != SQLITE_ROW)
        Fail("read");
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
