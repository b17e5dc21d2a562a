// The transfer history: records read back from transfer logs written by the
// program's own log writer (monthly and daily files, a month boundary, a
// record the recovery appends to an older month's log, a damaged line, a log
// that grows while the index is open), and the index beside them.
#include "app/AppState.h"
#include "history/DeliveredFile.h"
#include "history/HistoryExport.h"
#include "history/HistoryIndex.h"
#include "logging/Logs.h"
#include "support/TestSupport.h"
#include "util/Fs.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv;
using kvtest::LocalTime;
using kvtest::ReadFile;
using kvtest::StateFixture;
using kvtest::WriteFile;

namespace {

std::string Record(const std::string& dir, const std::string& name, int64_t size,
                   const std::string& sender, const std::string& receiver,
                   const std::string& type) {
    return dir + " File->" + name + " FileSize:" + std::to_string(size) + " Sender:" + sender +
           " Receiver:" + receiver + " Type:" + type;
}

// Writes a record with the program's own writer at time t.
void Write(StateFixture& f, std::time_t t, const std::string& record) {
    f.state.Now = [t] { return t; };
    OpenLogs(f.state);
    WriteTransferRecord(f.state, record);
    CloseLogs(f.state);
}

std::vector<std::string> Names(HistoryIndex& index, const HistoryFilter& filter = {},
                               const HistorySort& sort = {}) {
    std::vector<std::string> names;
    for (const TransferRecord& r : index.Fetch(index.Query(filter, sort).ids))
        names.push_back(r.name);
    return names;
}

// Appends raw bytes to a log.
void Append(const std::string& path, const std::string& bytes) {
    ::mkdir(FolderOf(path).c_str(), 0755);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// A log line as the log writer writes it, at yyyymmddhhmmss.
std::string Line(int64_t ts, const std::string& record) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ",
                  static_cast<int>(ts / 10000000000), static_cast<int>(ts / 100000000 % 100),
                  static_cast<int>(ts / 1000000 % 100), static_cast<int>(ts / 10000 % 100),
                  static_cast<int>(ts / 100 % 100), static_cast<int>(ts % 100));
    return stamp + record + "\r\n";
}

} // namespace

TEST(History, RecordLines) {
    struct Case {
        std::string line;
        bool ok = false;
        int64_t time = 0;
        TransferDirection dir = TransferDirection::Received;
        std::string name = {}, sender = {}, receiver = {}, type = {};
        int64_t size = 0;
    };
    const Case cases[] = {
        {"2026-01-31 23:59:58 Download File->A.EDI FileSize:12 Sender:THEM Receiver:ME "
         "Type:INVOIC(EDIFACT)",
         true, 20260131235958, TransferDirection::Received, "A.EDI", "THEM", "ME",
         "INVOIC(EDIFACT)", 12},
        // Blanks in the name and in the classification's texts.
        {"2026-02-01 00:00:01 Upload File->my file FileSize:7 v2.txt FileSize:5 "
         "Sender:UNKNOWN Sender Receiver:UNKNOWN Receiver Type:UNKNOWN FLAT\r",
         true, 20260201000001, TransferDirection::Sent, "my file FileSize:7 v2.txt",
         "UNKNOWN Sender", "UNKNOWN Receiver", "UNKNOWN FLAT", 5},
        // Empty fields.
        {"2026-02-01 00:00:01 Upload File->x FileSize:0 Sender: Receiver: Type:", true,
         20260201000001, TransferDirection::Sent, "x", "", "", "", 0},
        // A line a crash cut off, joined by the next record: the record it ends with.
        {"2026-03-01 10:00:00 Download File->CUT FileSi2026-03-01 10:05:00 Download "
         "File->B.EDI FileSize:3 Sender:S Receiver:R Type:T",
         true, 20260301100500, TransferDirection::Received, "B.EDI", "S", "R", "T", 3},
        // A name in GB18030 is shown as UTF-8.
        {"2026-03-01 10:00:00 Download File->\xb2\xe2\xca\xd4.EDI FileSize:1 Sender:S "
         "Receiver:R Type:T",
         true, 20260301100000, TransferDirection::Received, "测试.EDI", "S", "R", "T", 1},
        {"2026-03-01 10:00:00 INFO:Start Download File->A.EDI", false},
        {"2026-13-01 10:00:00 Download File->A FileSize:1 Sender:S Receiver:R Type:T", false},
        {"2026-03-01 10:00:00 Download File->A FileSize:x Sender:S Receiver:R Type:T", false},
        {"2026-03-01 10:00:00 Download File->A FileSize:9007199254740993 Sender:S Receiver:R "
         "Type:T",
         false},
        {"2026-03-01 10:00:00 Download File->A FileSize:1 Sender:S Type:T", false},
        {"2026-03-01 10:00:00 Download File-> FileSize:1 Sender:S Receiver:R Type:T", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::optional<TransferRecord> r = ParseTransferRecord(c.line);
        ASSERT_EQ(r.has_value(), c.ok);
        if (!r)
            continue;
        EXPECT_EQ(r->time, c.time);
        EXPECT_EQ(r->direction, c.dir);
        EXPECT_EQ(r->name, c.name);
        EXPECT_EQ(r->size, c.size);
        EXPECT_EQ(r->sender, c.sender);
        EXPECT_EQ(r->receiver, c.receiver);
        EXPECT_EQ(r->type, c.type);
    }
}

TEST(History, CsvAndJsonTexts) {
    TransferRecord r{
        20260131235958, TransferDirection::Received, "=cmd|' /C calc'!A0", 12, "a,b", "say \"hi\"",
        "T\x01"};
    EXPECT_EQ(CsvHeader(), "Time,Direction,Name,Size,Sender,Receiver,Type\r\n");
    EXPECT_EQ(CsvLine(r, true), "2026-01-31 23:59:58,Received,'=cmd|' /C calc'!A0,12,\"a,b\","
                                "\"say \"\"hi\"\"\",T\x01\r\n");
    EXPECT_EQ(CsvLine(r, false).rfind("2026-01-31 23:59:58,Received,=cmd|' /C calc'!A0,", 0), 0u);
    EXPECT_EQ(JsonObject(r), "{\"time\":\"2026-01-31 23:59:58\",\"direction\":\"received\","
                             "\"name\":\"=cmd|' /C calc'!A0\",\"size\":12,\"sender\":\"a,b\","
                             "\"receiver\":\"say \\\"hi\\\"\",\"type\":\"T\\u0001\"}");
    EXPECT_EQ(ParseDate("2026-02-28"), 20260228);
    EXPECT_FALSE(ParseDate("2026-2-28"));
    EXPECT_FALSE(ParseDate("28.02.2026"));
}

TEST(History, IndexFollowsTheLogs) {
    StateFixture f;
    // Monthly logs across a month boundary, then daily ones.
    Write(f, LocalTime(2026, 1, 31, 23, 59, 58),
          Record("Download", "JAN A.EDI", 10, "THEM", "ME", "INVOIC(EDIFACT)"));
    Write(f, LocalTime(2026, 2, 1, 0, 0, 2),
          Record("Upload", "FEB B.txt", 20, "ME", "THEM", "ORDERS(FLAT)"));
    f.state.LogStep = "DAY";
    Write(f, LocalTime(2026, 2, 3, 8, 0, 0),
          Record("Download", "DAY C.xml", 30, "OTHER", "ME", "MANIFEST(XML)"));
    // A damaged line among the records.
    {
        int fd = ::open(f.path("LOG/KVTSF202602.LOG").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "\x01\x02 not a record\r\n", 17), 17);
        ::close(fd);
    }
    HistoryIndex index(f.dir.path());
    EXPECT_TRUE(index.Warning().empty()) << index.Warning();
    RefreshResult r = index.Refresh();
    EXPECT_EQ(r.added, 3);
    EXPECT_FALSE(r.rebuilt);
    EXPECT_EQ(index.UnreadableLines(), 1);
    EXPECT_EQ(Names(index), (std::vector<std::string>{"DAY C.xml", "FEB B.txt", "JAN A.EDI"}));
    EXPECT_FALSE(index.NeedsRefresh());

    // While it is open: a record appended to today's log, and one the
    // recovery after a crash appends to January's log later than the others.
    Write(f, LocalTime(2026, 2, 3, 9, 0, 0),
          Record("Upload", "LATE D.txt", 40, "ME", "OTHER", "ORDERS(FLAT)"));
    f.state.Now = [] { return LocalTime(2026, 2, 3, 9, 30, 0); };
    ASSERT_TRUE(EnsureTransferRecord(
        f.state, f.path("LOG/KVTSF202601.LOG"), 0,
        Record("Download", "RECOVERED E.EDI", 50, "THEM", "ME", "INVOIC(EDIFACT)")));
    // A line still being written waits for its end.
    {
        int fd = ::open(f.path("LOG/KVTSF20260203.LOG").c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(::write(fd, "2026-02-03 09:40:00 Download File->HALF", 39), 39);
        ::close(fd);
    }
    EXPECT_TRUE(index.NeedsRefresh());
    r = index.Refresh();
    EXPECT_EQ(r.added, 2);
    EXPECT_EQ(Names(index), (std::vector<std::string>{"RECOVERED E.EDI", "LATE D.txt", "DAY C.xml",
                                                      "FEB B.txt", "JAN A.EDI"}));
    {
        int fd = ::open(f.path("LOG/KVTSF20260203.LOG").c_str(), O_WRONLY | O_APPEND);
        const std::string rest = " F.EDI FileSize:1 Sender:S Receiver:ME Type:T\r\n";
        ASSERT_EQ(::write(fd, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
        ::close(fd);
    }
    EXPECT_EQ(index.Refresh().added, 1);
    EXPECT_EQ(index.Count(), 6);

    // Filters and sorts.
    HistoryFilter text;
    text.text = "c.XML";
    EXPECT_EQ(Names(index, text), std::vector<std::string>{"DAY C.xml"});
    text.text = "other"; // sender or receiver, letter case ignored
    EXPECT_EQ(Names(index, text), (std::vector<std::string>{"LATE D.txt", "DAY C.xml"}));
    text.text = "%"; // no wildcard
    EXPECT_TRUE(Names(index, text).empty());
    HistoryFilter sent;
    sent.direction = TransferDirection::Sent;
    EXPECT_EQ(Names(index, sent), (std::vector<std::string>{"LATE D.txt", "FEB B.txt"}));
    HistoryFilter days;
    days.fromDay = 20260201;
    days.untilDay = 20260203;
    days.type = "ORDERS(FLAT)";
    EXPECT_EQ(Names(index, days), (std::vector<std::string>{"LATE D.txt", "FEB B.txt"}));
    days.untilDay = 20260202;
    EXPECT_EQ(Names(index, days), std::vector<std::string>{"FEB B.txt"});
    EXPECT_EQ(Names(index, {}, {HistoryColumn::Size, false}),
              (std::vector<std::string>{"HALF F.EDI", "JAN A.EDI", "FEB B.txt", "DAY C.xml",
                                        "LATE D.txt", "RECOVERED E.EDI"}));
    EXPECT_EQ(Names(index, {}, {HistoryColumn::Name, true}).front(), "RECOVERED E.EDI");
    EXPECT_EQ(index.Types(),
              (std::vector<std::string>{"INVOIC(EDIFACT)", "MANIFEST(XML)", "ORDERS(FLAT)", "T"}));
    const HistoryIndex::Found all = index.Query({}, {});
    ASSERT_EQ(all.days.size(), 3u);
    EXPECT_EQ(all.days[0].day, 20260131);
    EXPECT_EQ(all.days[0].received, 1);
    EXPECT_EQ(all.days[2].day, 20260203);
    EXPECT_EQ(all.days[2].received, 3); // C, RECOVERED (written on the 3rd), F
    EXPECT_EQ(all.days[2].sent, 1);
    const auto continuous = ContinuousDays(all.days);
    ASSERT_EQ(continuous.size(), 4u); // the 2nd of February shows as a gap
    EXPECT_EQ(continuous[2].day, 20260202);
    EXPECT_EQ(continuous[2].received + continuous[2].sent, 0);

    // Export of what a filter finds, and the logs themselves never touched.
    const std::string before = ReadFile(f.path("LOG/KVTSF202601.LOG"));
    EXPECT_EQ(ExportHistoryCsv(index, sent, {}, f.path("out.csv")), 2);
    EXPECT_EQ(ReadFile(f.path("out.csv")),
              CsvHeader() + "2026-02-03 09:00:00,Sent,LATE D.txt,40,ME,OTHER,ORDERS(FLAT)\r\n"
                            "2026-02-01 00:00:02,Sent,FEB B.txt,20,ME,THEM,ORDERS(FLAT)\r\n");
    EXPECT_EQ(ReadFile(f.path("LOG/KVTSF202601.LOG")), before);

    // A log cleaned away takes its records; one replaced is read anew.
    ::unlink(f.path("LOG/KVTSF202601.LOG").c_str());
    WriteFile(f.path("LOG/KVTSF202602.LOG.new"),
              "2026-02-05 10:00:00 " + Record("Upload", "NEW G.txt", 1, "ME", "X", "T") + "\r\n");
    ::rename(f.path("LOG/KVTSF202602.LOG.new").c_str(), f.path("LOG/KVTSF202602.LOG").c_str());
    EXPECT_TRUE(index.NeedsRefresh());
    r = index.Refresh();
    EXPECT_EQ(r.removed, 3);
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(Names(index),
              (std::vector<std::string>{"NEW G.txt", "HALF F.EDI", "LATE D.txt", "DAY C.xml"}));
    EXPECT_EQ(index.Types(), (std::vector<std::string>{"MANIFEST(XML)", "ORDERS(FLAT)", "T"}));
    EXPECT_EQ(index.UnreadableLines(), 0);

    // A second object (another thread or korvaned HISTORY) sees the same.
    HistoryIndex other(f.dir.path());
    EXPECT_FALSE(other.NeedsRefresh());
    EXPECT_EQ(other.Count(), 4);
}

TEST(History, DamagedOrUnwritableIndexIsMadeFromTheLogs) {
    StateFixture f;
    for (int i = 0; i < 3; ++i)
        Write(f, LocalTime(2026, 4, 1 + i, 12, 0, 0),
              Record("Download", "F" + std::to_string(i), i, "S", "R", "T"));
    { HistoryIndex(f.dir.path()).Refresh(); }
    const std::string db = f.path(kHistoryIndexName);
    ASSERT_TRUE(kvtest::Exists(db));
    struct Damage {
        const char* what;
        std::function<void()> apply;
    };
    const Damage damages[] = {
        {"not a database", [&] { WriteFile(db, std::string(8192, 'x')); }},
        {"cut short", [&] { ASSERT_EQ(::truncate(db.c_str(), 1000), 0); }},
        {"missing", [&] { ::unlink(db.c_str()); }},
        {"another program's database",
         [&] {
             ::unlink(db.c_str());
             sqlite3* other = nullptr;
             ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
             sqlite3_exec(other, "CREATE TABLE accounts(x); INSERT INTO accounts VALUES(42)",
                          nullptr, nullptr, nullptr);
             sqlite3_close(other);
         }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        { HistoryIndex(f.dir.path()).Refresh(); }
        for (const char* suffix : {"-wal", "-shm"})
            ::unlink((db + suffix).c_str());
        d.apply();
        HistoryIndex index(f.dir.path());
        const RefreshResult r = index.Refresh();
        EXPECT_EQ(r.added, 3);
        EXPECT_EQ(r.rebuilt, std::string(d.what) != "missing");
        EXPECT_EQ(index.Count(), 3);
    }
    // The other program's database was set aside whole, and said so.
    EXPECT_TRUE(kvtest::Exists(db + ".foreign"));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((db + ".foreign").c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "SELECT x FROM accounts", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    // A LOG folder this user may not write: the history is read into memory.
    for (const char* suffix : {"", "-wal", "-shm"})
        ::unlink((db + suffix).c_str());
    ASSERT_EQ(::chmod(f.path("LOG").c_str(), 0555), 0);
    {
        kvtest::NoFileAccessOverride asUser;
        HistoryIndex index(f.dir.path());
        EXPECT_NE(index.Warning().find("cannot be written"), std::string::npos);
        EXPECT_EQ(index.Refresh().added, 3);
        EXPECT_EQ(Names(index).front(), "F2");
    }
    ::chmod(f.path("LOG").c_str(), 0755);
}

TEST(History, DeliveredFileIsFoundWhereItWent) {
    StateFixture f;
    ::mkdir(f.path("IN").c_str(), 0755);
    ::mkdir(f.path("IN3").c_str(), 0755);
    ::mkdir(f.path("BAK").c_str(), 0755);
    // Relative folders (as the program writes its defaults) are inside the
    // program folder, whatever the current folder of the process asking.
    WriteFile(f.state.IniPath, "[Options]\r\nLocalInPath=" + f.path("IN") +
                                   "\r\nLocalInPath3=IN3\r\nLocalBackupPath=BAK\r\n");
    WriteFile(f.path("IN3/A B.EDI"), "x");
    WriteFile(f.path("IN3/A B.EDI!"), "y"); // delivered again under a free name
    WriteFile(f.path("BAK/S.txt"), "z");
    TransferRecord r{20260101000000, TransferDirection::Received, "A B.EDI", 1, "", "", ""};
    EXPECT_EQ(FindDeliveredFile(f.state.IniPath, r), f.path("IN3/A B.EDI!"));
    r.direction = TransferDirection::Sent;
    EXPECT_EQ(FindDeliveredFile(f.state.IniPath, r), "");
    r.name = "S.txt";
    EXPECT_EQ(FindDeliveredFile(f.state.IniPath, r), f.path("BAK/S.txt"));
    // Sends backed up into the subfolder of their day or month, one sent
    // just before midnight into the next day's.
    ::mkdir(f.path("BAK/202601").c_str(), 0755);
    ::mkdir(f.path("BAK/20260102").c_str(), 0755);
    WriteFile(f.path("BAK/202601/M.txt"), "m");
    WriteFile(f.path("BAK/20260102/D.txt"), "d");
    for (const auto& [name, time, where] : {std::tuple{"M.txt", 20260115120000, "BAK/202601/M.txt"},
                                            {"D.txt", 20260101235959, "BAK/20260102/D.txt"},
                                            {"D.txt", 20260102000100, "BAK/20260102/D.txt"},
                                            {"D.txt", 20260103000100, ""}}) {
        r.name = name;
        r.time = time;
        EXPECT_EQ(FindDeliveredFile(f.state.IniPath, r), *where ? f.path(where) : "") << time;
    }
    r.name = "../BAK/S.txt";
    EXPECT_EQ(FindDeliveredFile(f.state.IniPath, r), "");
}

// Every filter against a plain reading of all records: the text search
// (trigram index, or a scan for one or two letters; ASCII letter case only
// ignored), the order, and the files per day kept as logs come and go.
TEST(History, FiltersAndDailyCountsAgreeWithEveryRecord) {
    StateFixture f;
    const std::vector<std::string> names = {"ORDER_0001.EDI",
                                            "order_0002 copy.edi",
                                            "Über ä.txt",
                                            "über ä.txt",
                                            "say \"hi\".EDI",
                                            "x",
                                            "AB",
                                            "ÄBC.xml"};
    const std::vector<std::string> partners = {"PARTNER07", "PARTNER17", "Ölhafen", "OWN"};
    const std::vector<std::string> types = {"INVOIC(EDIFACT)", "ORDERS(FLAT)", "UNKNOWN FLAT"};
    std::vector<TransferRecord> all;
    int64_t n = 0;
    for (int month = 1; month <= 2; ++month)
        for (int i = 0; i < 120; ++i, ++n) {
            TransferRecord r;
            r.time = (20260000 + month * 100 + 1 + i % 27) * 1000000LL + n / 60 * 10000 +
                     n % 60 * 100; // a time of its own
            r.direction = i % 3 ? TransferDirection::Received : TransferDirection::Sent;
            r.name = names[static_cast<size_t>(n % 8)];
            r.sender = partners[static_cast<size_t>(n % 4)];
            r.receiver = partners[static_cast<size_t>((n + 1) % 4)];
            r.type = types[static_cast<size_t>(n % 3)];
            r.size = n;
            all.push_back(r);
            Append(
                f.path("LOG/KVTSF20260" + std::to_string(month) + ".LOG"),
                Line(r.time, Record(r.direction == TransferDirection::Sent ? "Upload" : "Download",
                                    r.name, r.size, r.sender, r.receiver, r.type)));
        }
    auto lowerAscii = [](std::string t) {
        for (char& c : t)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return t;
    };
    auto passes = [&](const TransferRecord& r, const HistoryFilter& flt) {
        const std::string needle = lowerAscii(flt.text);
        const bool text = needle.empty() || lowerAscii(r.name).find(needle) != std::string::npos ||
                          lowerAscii(r.sender).find(needle) != std::string::npos ||
                          lowerAscii(r.receiver).find(needle) != std::string::npos;
        return text && (flt.type.empty() || r.type == flt.type) &&
               (!flt.direction || r.direction == *flt.direction) &&
               (flt.fromDay == 0 || r.time / 1000000 >= flt.fromDay) &&
               (flt.untilDay == 0 || r.time / 1000000 <= flt.untilDay);
    };
    const std::vector<std::string> needles = {"",     "o",      "Ü",    "ab",        "ORDER_",
                                              "0001", "über",   "ÜBER", "partner17", "ölhafen",
                                              "ÖLH",  "\"hi\"", "zzz",  "r07 "};
    auto check = [&](HistoryIndex& index) {
        for (const std::string& needle : needles)
            for (int variant = 0; variant < 4; ++variant) {
                HistoryFilter flt;
                flt.text = needle;
                if (variant == 1)
                    flt.direction = TransferDirection::Sent;
                if (variant == 2)
                    flt.type = "ORDERS(FLAT)";
                if (variant == 3) {
                    flt.fromDay = 20260110;
                    flt.untilDay = 20260205;
                }
                SCOPED_TRACE("\"" + needle + "\" variant " + std::to_string(variant));
                std::vector<TransferRecord> expected;
                std::map<int64_t, DayCount> days;
                for (const TransferRecord& r : all)
                    if (passes(r, flt)) {
                        expected.push_back(r);
                        DayCount& d = days[r.time / 1000000];
                        d.day = r.time / 1000000;
                        ++(r.direction == TransferDirection::Sent ? d.sent : d.received);
                    }
                std::sort(expected.begin(), expected.end(),
                          [](const auto& a, const auto& b) { return a.time > b.time; });
                const HistoryIndex::Found found = index.Query(flt, {});
                const std::vector<TransferRecord> got = index.Fetch(found.ids);
                ASSERT_EQ(got.size(), expected.size());
                for (size_t i = 0; i < got.size(); ++i)
                    ASSERT_EQ(got[i].time, expected[i].time) << i;
                ASSERT_EQ(found.days.size(), days.size());
                size_t i = 0;
                for (const auto& [day, d] : days) {
                    EXPECT_EQ(found.days[i].day, day);
                    EXPECT_EQ(found.days[i].received, d.received);
                    EXPECT_EQ(found.days[i].sent, d.sent);
                    ++i;
                }
            }
    };
    HistoryIndex index(f.dir.path());
    EXPECT_EQ(index.Refresh().added, 240);
    check(index);
    // A log cleaned away takes its records out of the counts.
    ::unlink(f.path("LOG/KVTSF202601.LOG").c_str());
    all.erase(std::remove_if(all.begin(), all.end(),
                             [](const TransferRecord& r) { return r.time < 20260200000000; }),
              all.end());
    EXPECT_EQ(index.Refresh().removed, 120);
    check(index);
}

// A line that never ends (a log damaged by a crash, or a file that is no
// log) is looked at once: later refreshes read only what was appended, and
// the line, too long for a record, is counted as unreadable when it ends.
TEST(History, UnendedLogTailIsReadOnce) {
    StateFixture f;
    const std::string log = f.path("LOG/KVTSF202603.LOG");
    Append(log, Line(20260301080000, Record("Download", "A.EDI", 1, "S", "R", "T")));
    Append(log, std::string(3 << 20, 'x'));
    HistoryIndex index(f.dir.path());
    int64_t toRead = -1;
    auto progress = [&](int64_t, int64_t total) { toRead = total; };
    EXPECT_EQ(index.Refresh(progress).added, 1);
    EXPECT_FALSE(index.NeedsRefresh());
    EXPECT_EQ(index.Refresh(progress).added, 0);
    EXPECT_EQ(toRead, 0);
    const std::string next = Line(20260301090000, Record("Upload", "B.txt", 2, "R", "S", "T"));
    Append(log, "\r\n" + next);
    EXPECT_TRUE(index.NeedsRefresh());
    EXPECT_EQ(index.Refresh(progress).added, 1);
    EXPECT_EQ(toRead, static_cast<int64_t>(next.size() + 2));
    EXPECT_EQ(index.UnreadableLines(), 1);
    EXPECT_EQ(Names(index), (std::vector<std::string>{"B.txt", "A.EDI"}));
}

// While another program holds the index for writing, a refresh gives up
// after a short wait and the queries answer from what was last committed.
TEST(History, BusyIndexIsReadAsLastCommitted) {
    StateFixture f;
    const std::string log = f.path("LOG/KVTSF202603.LOG");
    Append(log, Line(20260301080000, Record("Download", "A.EDI", 1, "S", "R", "T")));
    { HistoryIndex(f.dir.path()).Refresh(); }
    Append(log, Line(20260301090000, Record("Download", "B.EDI", 1, "S", "R", "T")));
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(f.path(kHistoryIndexName).c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        HistoryIndex index(f.dir.path());
        const RefreshResult r = index.Refresh();
        EXPECT_TRUE(r.busy);
        EXPECT_EQ(Names(index), std::vector<std::string>{"A.EDI"});
    }
    sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    HistoryIndex index(f.dir.path());
    EXPECT_FALSE(index.Refresh().busy);
    EXPECT_EQ(Names(index), (std::vector<std::string>{"B.EDI", "A.EDI"}));
}
