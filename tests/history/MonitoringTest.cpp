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

    // Without Options/MetricsFile nothing is written; a folder that cannot
    // take the file is reported as an error line with what to do.
    WriteFile(m.state.IniPath, "[Options]\r\nMetricsFile=no/such/folder/k.prom\r\n");
    m.host.view.clear();
    m.Cycle(true, 0, {});
    ASSERT_FALSE(m.host.view.empty());
    EXPECT_NE(m.host.view.back().find("ERROR:Cannot write the metrics file named by "
                                      "Options/MetricsFile"),
              std::string::npos)
        << m.host.view.back();
    EXPECT_EQ(m.Status()["outcome"].text, "ok"); // the cycle itself went well
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
    EXPECT_EQ(m.Check("soon", "2h", &line), 3) << line;
    EXPECT_NE(line.find("usage: korvaned CHECK"), std::string::npos);
    EXPECT_EQ(ParseDuration("1h30m"), 5400);
    EXPECT_EQ(ParseDuration("90"), 90);
    EXPECT_EQ(ParseDuration("2d"), 172800);
    EXPECT_FALSE(ParseDuration("1h30"));
    EXPECT_FALSE(ParseDuration("-5m"));
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
