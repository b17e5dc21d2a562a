// What monitoring reads after every cycle: the status file, the metrics file
// in the Prometheus text format (checked by a strict parser of the format)
// and korvaned CHECK's verdict in each state.
#include "app/AppState.h"
#include "config/IniFile.h"
#include "logging/Logs.h"
#include "program/CycleStatus.h"
#include "program/StatusCommands.h"
#include "support/TestSupport.h"
#include "util/Encoding.h"
#include "util/Json.h"

#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

using namespace kv;
using kvtest::LocalTime;
using kvtest::ReadFile;
using kvtest::StateFixture;
using kvtest::WriteFile;

namespace {

// The Prometheus text exposition format, strictly: comments HELP and TYPE
// at most once per family and before its samples, valid names and label
// values, numbers, each series once, samples of a family together, counter
// names ending in _total, a line feed at the end. Returns the samples
// ("name{labels}" -> value), or fails the test.
std::map<std::string, double> ParseMetrics(const std::string& text) {
    std::map<std::string, double> samples;
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::regex name("[a-zA-Z_:][a-zA-Z0-9_:]*");
    const std::regex labelName("[a-zA-Z_][a-zA-Z0-9_]*");
    std::map<std::string, std::string> types;
    std::set<std::string> helps, families, closed;
    std::string current;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        SCOPED_TRACE(line);
        EXPECT_EQ(line.find('\r'), std::string::npos);
        if (line.rfind("# ", 0) == 0) {
            std::istringstream words(line.substr(2));
            std::string kind, family;
            words >> kind >> family;
            EXPECT_TRUE(std::regex_match(family, name));
            EXPECT_FALSE(families.count(family)) << "comment after the samples";
            if (kind == "HELP") {
                EXPECT_TRUE(helps.insert(family).second);
                std::string help;
                std::getline(words, help);
                EXPECT_GT(help.size(), 1u);
            } else if (kind == "TYPE") {
                std::string type;
                words >> type;
                EXPECT_TRUE(type == "counter" || type == "gauge") << type;
                EXPECT_TRUE(types.emplace(family, type).second);
                if (type == "counter") {
                    EXPECT_TRUE(family.size() > 6 && family.substr(family.size() - 6) == "_total");
                }
            }
            continue;
        }
        EXPECT_FALSE(line.empty());
        size_t at = 0;
        while (at < line.size() && line[at] != '{' && line[at] != ' ')
            ++at;
        const std::string metric = line.substr(0, at);
        EXPECT_TRUE(std::regex_match(metric, name));
        EXPECT_TRUE(types.count(metric)) << "sample without TYPE";
        EXPECT_TRUE(helps.count(metric)) << "sample without HELP";
        if (metric != current) {
            EXPECT_FALSE(closed.count(metric)) << "samples of a family apart";
            if (!current.empty())
                closed.insert(current);
            current = metric;
        }
        families.insert(metric);
        std::string series = metric;
        if (at < line.size() && line[at] == '{') {
            ++at;
            series += "{";
            while (at < line.size() && line[at] != '}') {
                const size_t eq = line.find('=', at);
                EXPECT_NE(eq, std::string::npos);
                EXPECT_TRUE(std::regex_match(line.substr(at, eq - at), labelName));
                series += line.substr(at, eq - at) + "=";
                at = eq + 1;
                EXPECT_EQ(line[at], '"');
                ++at;
                std::string value;
                while (at < line.size() && line[at] != '"') {
                    if (line[at] == '\\') {
                        ++at;
                        EXPECT_TRUE(line[at] == '\\' || line[at] == '"' || line[at] == 'n');
                    }
                    value += line[at++];
                }
                EXPECT_TRUE(IsValidUtf8(value));
                series += value;
                ++at;
                if (line[at] == ',') {
                    series += ",";
                    ++at;
                }
            }
            series += "}";
            ++at;
        }
        EXPECT_EQ(line[at], ' ');
        const std::string number = line.substr(at + 1);
        char* end = nullptr;
        const double v = std::strtod(number.c_str(), &end);
        EXPECT_TRUE(end && *end == '\0' && !number.empty()) << number;
        EXPECT_TRUE(samples.emplace(series, v).second) << "series twice";
    }
    return samples;
}

struct Mailbox : StateFixture {
    std::time_t now = LocalTime(2026, 3, 1, 12, 0, 0);
    Mailbox() {
        state.Now = [this] { return now; };
        WriteFile(state.IniPath, "[Options]\r\nMetricsFile=metrics/korvane.prom\r\n");
        ::mkdir(path("metrics").c_str(), 0755);
    }
    // A cycle of `seconds` that delivered `received` files and reported the lines.
    CycleOutcomeKind Cycle(bool connected, int received, const std::vector<std::string>& errors,
                           int seconds = 3, std::optional<std::time_t> next = {}) {
        LogBracket logs(state);
        CycleStatus status(state);
        now += seconds;
        state.Counts.ReceivedFiles += received;
        state.Counts.ReceivedBytes += received * 100;
        for (const std::string& e : errors)
            ReportError(state, e);
        return status.Finish(connected, next);
    }
    JsonValue Status() const {
        const std::optional<JsonValue> v = ParseJson(ReadFile(path("LOG/KVSTATUS.json")));
        EXPECT_TRUE(v);
        return v ? *v : JsonValue{};
    }
    int Check(const std::string& warn, const std::string& crit, std::string* line = nullptr) {
        std::ostringstream out;
        const int code = RunCheckCommand(dir.path(), {"--warn", warn, "--crit", crit}, now, out);
        if (line)
            *line = out.str();
        return code;
    }
};

} // namespace

TEST(Monitoring, StatusFileAfterEachCycle) {
    Mailbox m;
    const std::time_t start = m.now;
    EXPECT_EQ(m.Cycle(true, 2, {}, 5, m.now + 600), CycleOutcomeKind::Ok);
    JsonValue s = m.Status();
    EXPECT_EQ(s["version"].Integer(), 1);
    EXPECT_EQ(s["outcome"].text, "ok");
    EXPECT_TRUE(
        std::regex_match(s["cycle_start"].text, std::regex(R"(2026-03-01T12:00:00[+-]\d\d:\d\d)")))
        << s["cycle_start"].text;
    EXPECT_EQ(ParseIsoTime(s["cycle_start"].text), start);
    EXPECT_EQ(ParseIsoTime(s["cycle_end"].text), start + 5);
    EXPECT_EQ(ParseIsoTime(s["last_ok"].text), start + 5);
    EXPECT_EQ(ParseIsoTime(s["next_due"].text), start + 600);
    EXPECT_EQ(s["received_files"].Integer(), 2);
    EXPECT_EQ(s["received_bytes"].Integer(), 200);
    EXPECT_EQ(s["sent_files"].Integer(), 0);
    EXPECT_EQ(s["errors"].kind, JsonValue::Kind::Array);
    EXPECT_TRUE(s["errors"].items.empty());

    // A cycle with file errors: names shown safely (control characters and
    // another encoding cannot break the JSON), at most 50 lines kept.
    std::vector<std::string> errors{"Download File Failed!!!->\xb2\xe2\"\\\t.EDI",
                                    "Connection closed: 421 \x1b]0;owned\x07"};
    for (int i = 0; i < 59; ++i)
        errors.push_back("File Locked, Not Sent!!!->F" + std::to_string(i));
    EXPECT_EQ(m.Cycle(true, 1, errors), CycleOutcomeKind::Errors);
    s = m.Status();
    EXPECT_EQ(s["outcome"].text, "errors");
    ASSERT_EQ(s["errors"].items.size(), 50u);
    EXPECT_EQ(s["error_lines"].Integer(), 61);
    EXPECT_NE(s["errors"].items[0].text.find("ERROR:Download File Failed!!!->测\"\\\t.EDI"),
              std::string::npos)
        << s["errors"].items[0].text;
    EXPECT_EQ(ParseIsoTime(s["last_ok"].text), start + 5); // the last good one stays
    EXPECT_TRUE(s["next_due"].IsNull());
    // STATUS for a person: the lines as logged, nothing that steers a terminal.
    std::ostringstream out, err;
    EXPECT_EQ(RunStatusCommand(m.dir.path(), m.now, out, err), 0);
    EXPECT_NE(out.str().find("Errors:           61 line(s), the first 50 shown"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("ERROR:Connection closed: 421 ?]0;owned?"), std::string::npos)
        << out.str();
    EXPECT_EQ(out.str().find('\x1b'), std::string::npos);

    // No connection: failed; the totals and the last good cycle carry over to
    // the next run of the program (a new state, as korvaned ONCE).
    m.state.Counts = {};
    EXPECT_EQ(m.Cycle(false, 0, {"Socket Error # 10061 Connection refused.!"}),
              CycleOutcomeKind::Failed);
    s = m.Status();
    EXPECT_EQ(s["outcome"].text, "failed");
    EXPECT_EQ(s["totals"]["cycles_ok"].Integer(), 1);
    EXPECT_EQ(s["totals"]["cycles_errors"].Integer(), 1);
    EXPECT_EQ(s["totals"]["cycles_failed"].Integer(), 1);
    EXPECT_EQ(s["totals"]["received_files"].Integer(), 3);
    EXPECT_EQ(s["totals"]["error_lines"].Integer(), 62);

    // The metrics file follows the format and the totals.
    const std::map<std::string, double> metrics =
        ParseMetrics(ReadFile(m.path("metrics/korvane.prom")));
    const std::string folder = "folder=" + m.dir.path();
    EXPECT_EQ(metrics.at("korvane_received_files_total{" + folder + "}"), 3);
    EXPECT_EQ(metrics.at("korvane_received_bytes_total{" + folder + "}"), 300);
    EXPECT_EQ(metrics.at("korvane_sent_files_total{" + folder + "}"), 0);
    EXPECT_EQ(metrics.at("korvane_errors_total{" + folder + "}"), 62);
    EXPECT_EQ(metrics.at("korvane_cycles_total{" + folder + ",outcome=ok}"), 1);
    EXPECT_EQ(metrics.at("korvane_cycles_total{" + folder + ",outcome=failed}"), 1);
    EXPECT_EQ(metrics.at("korvane_last_success_timestamp_seconds{" + folder + "}"),
              static_cast<double>(start + 5));
    EXPECT_EQ(metrics.at("korvane_last_cycle_ok{" + folder + "}"), 0);

    // A folder that cannot take the metrics file: an error line with what
    // to do, and the cycle is "errors" in the status as in its outcome (and
    // so in korvaned ONCE's exit status).
    WriteFile(m.state.IniPath, "[Options]\r\nMetricsFile=no/such/folder/k.prom\r\n");
    m.host.view.clear();
    EXPECT_EQ(m.Cycle(true, 0, {}), CycleOutcomeKind::Errors);
    ASSERT_FALSE(m.host.view.empty());
    EXPECT_NE(m.host.view.back().find("ERROR:Cannot write the metrics file named by "
                                      "Options/MetricsFile"),
              std::string::npos)
        << m.host.view.back();
    s = m.Status();
    EXPECT_EQ(s["outcome"].text, "errors");
    ASSERT_EQ(s["errors"].items.size(), 1u);
    EXPECT_NE(s["errors"].items[0].text.find("Cannot write the metrics file"), std::string::npos);
    EXPECT_EQ(ParseIsoTime(s["last_ok"].text), start + 5); // not a good cycle
}

// The status file cannot be written: the same error line and outcome, which
// the metrics file then carries; a write a kill cut off leaves nothing for
// long.
TEST(Monitoring, WriteFailuresAndCutOffWrites) {
    Mailbox m;
    ::mkdir(m.path("LOG").c_str(), 0755);
    const std::string cutOff = m.path("LOG/.KVSTATUS.json.0123456789abcdef.part");
    const std::string oldMetrics = m.path("metrics/.korvane.prom.0123456789abcdef.part");
    const std::string newMetrics = m.path("metrics/.korvane.prom.fedcba9876543210.part");
    for (const std::string& part : {cutOff, oldMetrics, newMetrics})
        WriteFile(part, "{\"version\": 1, \"outc");
    // Only a part an hour old goes beside the metrics: that folder may be
    // another mailbox's too, whose write may be running.
    const struct timespec times[2] = {{m.now - 3601, 0}, {m.now - 3601, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, oldMetrics.c_str(), times, 0), 0);
    EXPECT_EQ(m.Cycle(true, 1, {}), CycleOutcomeKind::Ok);
    EXPECT_FALSE(kvtest::Exists(cutOff));
    EXPECT_FALSE(kvtest::Exists(oldMetrics));
    EXPECT_TRUE(kvtest::Exists(newMetrics));

    ::unlink(m.path("LOG/KVSTATUS.json").c_str());
    ::mkdir(m.path("LOG/KVSTATUS.json").c_str(), 0755); // cannot be replaced
    m.host.view.clear();
    EXPECT_EQ(m.Cycle(true, 1, {}), CycleOutcomeKind::Errors);
    ASSERT_FALSE(m.host.view.empty());
    EXPECT_NE(m.host.view.back().find("ERROR:Cannot write the status file"), std::string::npos)
        << m.host.view.back();
    const std::map<std::string, double> metrics =
        ParseMetrics(ReadFile(m.path("metrics/korvane.prom")));
    const std::string folder = "folder=" + m.dir.path();
    EXPECT_EQ(metrics.at("korvane_last_cycle_ok{" + folder + "}"), 0);
    EXPECT_EQ(metrics.at("korvane_errors_total{" + folder + "}"), 1);
    EXPECT_EQ(metrics.at("korvane_cycles_total{" + folder + ",outcome=errors}"), 1);
    // Without the last status, the totals begin again (a counter reset).
    EXPECT_EQ(metrics.at("korvane_cycles_total{" + folder + ",outcome=ok}"), 0);
}

// A program folder whose name is not UTF-8 still gives valid UTF-8 labels,
// as the status file's texts.
TEST(Monitoring, LabelsOfAFolderNameInAnotherEncoding) {
    Mailbox m;
    const std::string folder = m.path("\xb2\xe2\xff");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    m.state.ProgramDir = folder;
    m.state.IniPath = folder + "/Korvane.ini";
    WriteFile(m.state.IniPath, "[Options]\r\nMetricsFile=k.prom\r\n");
    m.Cycle(true, 0, {});
    const std::string text = ReadFile(folder + "/k.prom");
    EXPECT_TRUE(IsValidUtf8(text));
    const std::map<std::string, double> metrics = ParseMetrics(text);
    EXPECT_EQ(
        metrics.count("korvane_cycles_total{folder=" + ToDisplayUtf8(folder) + ",outcome=ok}"), 1u)
        << text;
}

TEST(Monitoring, CheckVerdicts) {
    struct Case {
        const char* what;
        std::function<void(Mailbox&)> setUp;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {"no status yet", [](Mailbox&) {}, 3, "UNKNOWN - no status file"},
        {"damaged status",
         [](Mailbox& m) {
             ::mkdir(m.path("LOG").c_str(), 0755);
             WriteFile(m.path("LOG/KVSTATUS.json"), "{\"v");
         },
         3, "UNKNOWN - the status file"},
        {"good and recent", [](Mailbox& m) { m.Cycle(true, 1, {}); }, 0, "OK - last cycle ok"},
        {"good but old",
         [](Mailbox& m) {
             m.Cycle(true, 1, {});
             m.now += 45 * 60;
         },
         1, "WARNING - last cycle ok"},
        {"good but very old",
         [](Mailbox& m) {
             m.Cycle(true, 1, {});
             m.now += 3 * 3600;
         },
         2, "CRITICAL - last cycle ok"},
        {"errors after a good cycle",
         [](Mailbox& m) {
             m.Cycle(true, 1, {});
             m.Cycle(true, 1, {"Send Failed!!!"});
         },
         1, "WARNING - last cycle errors"},
        {"one failure after a good cycle",
         [](Mailbox& m) {
             m.Cycle(true, 1, {});
             m.Cycle(false, 0, {"x"});
         },
         1, "WARNING - last cycle failed"},
        {"failing since long",
         [](Mailbox& m) {
             m.Cycle(true, 1, {});
             m.now += 3 * 3600;
             m.Cycle(false, 0, {"x"});
         },
         2, "CRITICAL - last cycle failed"},
        {"never good", [](Mailbox& m) { m.Cycle(false, 0, {"x"}); }, 2, "no good cycle yet"},
        {"good cycle dated ahead (the clock was set back)",
         [](Mailbox& m) {
             m.Cycle(true, 1, {});
             m.now -= 2 * 3600;
         },
         3, "UNKNOWN - the last good cycle ended at 2026-03-01 12:00:03, 2 h 0 min after"},
        {"impossible last_ok",
         [](Mailbox& m) {
             m.Cycle(true, 1, {});
             std::string text = ReadFile(m.path("LOG/KVSTATUS.json"));
             const size_t at = text.find("\"last_ok\": \"") + 12;
             text.replace(at, 19, "2026-02-30T25:61:61");
             WriteFile(m.path("LOG/KVSTATUS.json"), text);
         },
         3, "(last_ok '2026-02-30T25:61:61+"},
        {"not a program folder", [](Mailbox& m) { ::unlink(m.state.IniPath.c_str()); }, 3,
         "is not a program folder (no Korvane.ini in it)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Mailbox m;
        c.setUp(m);
        std::string line;
        EXPECT_EQ(m.Check("30m", "2h", &line), c.code);
        EXPECT_NE(line.find(c.says), std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    }
    Mailbox m;
    m.Cycle(true, 1, {});
    std::string line;
    EXPECT_EQ(m.Check("2h", "30m", &line), 3) << line; // warn beyond crit
    EXPECT_NE(line.find("usage: korvaned CHECK"), std::string::npos);
    EXPECT_EQ(m.Check("soon", "2h", &line), 3) << line;
    EXPECT_NE(line.find("--warn 'soon' is no duration"), std::string::npos) << line;
    EXPECT_EQ(ParseDuration("1h30m"), 5400);
    EXPECT_EQ(ParseDuration("90"), 90);
    EXPECT_EQ(ParseDuration("2d"), 172800);
    EXPECT_FALSE(ParseDuration("1h30"));
    EXPECT_FALSE(ParseDuration("-5m"));
    // Bounded: beyond ten years is refused, however it is written, and no
    // sum of parts overflows.
    EXPECT_EQ(ParseDuration("3650d"), kLongestDuration);
    EXPECT_FALSE(ParseDuration("3650d1s"));
    EXPECT_FALSE(ParseDuration("999999999999w"));
    EXPECT_FALSE(ParseDuration(std::string(40, '9')));
    std::string many;
    for (int i = 0; i < 40; ++i)
        many += "999999999999w";
    EXPECT_FALSE(ParseDuration(many));
    EXPECT_EQ(m.Check("999999999999w", "999999999999w", &line), 3);
    EXPECT_NE(line.find("--warn '999999999999w' is no duration of at most 3650d"),
              std::string::npos)
        << line;
    EXPECT_EQ(m.Check("30m", "2h", &line), 0) << line;
    std::ostringstream out;
    EXPECT_EQ(RunCheckCommand(m.dir.path(), {"--warn", "1m", "--crit", "2m", "--typo"}, m.now, out),
              3);
    EXPECT_NE(out.str().find("unknown option '--typo'"), std::string::npos) << out.str();
}

// Times of the status file: only texts that name a moment.
TEST(Monitoring, StatusTimes) {
    const std::time_t t = ParseIsoTime("2026-03-01T12:00:00+01:00").value_or(0);
    EXPECT_EQ(ParseIsoTime("2026-03-01T11:00:00+00:00"), t);
    EXPECT_EQ(ParseIsoTime("2026-03-01T06:30:00-04:30"), t);
    EXPECT_EQ(ParseIsoTime(IsoTime(t)), t);
    EXPECT_TRUE(ParseIsoTime("2028-02-29T23:59:59+00:00")); // a leap day
    for (const char* bad :
         {"2026-02-30T25:61:61+00:00", "2026-02-29T00:00:00+00:00", "2026-13-01T00:00:00+00:00",
          "2026-00-10T00:00:00+00:00", "2026-01-01T24:00:00+00:00", "2026-01-01T00:60:00+00:00",
          "2026-01-01T00:00:60+00:00", "2026-01-01T00:00:00+00:60", "2026-01-01T00:00:00*00:00",
          "2026-01-01 00:00:00+00:00", "2026-01-01T00:00:00Z", ""})
        EXPECT_FALSE(ParseIsoTime(bad)) << bad;
}

TEST(Monitoring, JsonReader) {
    EXPECT_TRUE(ParseJson(R"({"a":[1,-2.5e3,true,null,"\u00e9\ud83d\ude00"]})"));
    const std::optional<JsonValue> v = ParseJson(R"({"a":[1,"\u00e9\ud83d\ude00"]})");
    ASSERT_TRUE(v);
    EXPECT_EQ((*v)["a"].items[1].text, "é😀");
    for (const char* bad :
         {"", "{", "[1,]", "{\"a\":01}", "\"\\ud800\"", "\"a\nb\"", "[1] 2", "{\"a\" 1}", "nul"})
        EXPECT_FALSE(ParseJson(bad)) << bad;
    EXPECT_EQ(JsonString("a\"\\\n\x01"), "\"a\\\"\\\\\\n\\u0001\"");
}
