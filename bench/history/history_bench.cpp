// The transfer history with a busy mailbox's ten years of logs:
//   history_bench generate DIR [RECORDS]  monthly transfer logs in DIR/LOG
//   history_bench open DIR                index them (or take the news), timed
//   history_bench query DIR               the filters a person uses, timed
//   history_bench export DIR FILE         a partner's rows to CSV, timed
// Each step runs in a process of its own (run.sh), so its peak memory is its own.
#include "history/HistoryExport.h"
#include "history/HistoryIndex.h"
#include "util/Fs.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

namespace {

// The processor time of this thread, which the load of other programs on
// the machine does not stretch as it does the time on the clock.
double CpuMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double Ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

const char* const kTypes[] = {"CUSCAR(EDIFACT)", "IFTMIN(EDIFACT)", "INVOIC(EDIFACT)",
                              "COPRAR(EDIFACT)", "BAPLIE(EDIFACT)", "MANIFEST(XML)",
                              "PREMFT(FLAT)",    "CUSRES(EDIFACT)", "UNKNOWN FLAT",
                              "APERAK(EDIFACT)", "IFTSTA(EDIFACT)", "COARRI(EDIFACT)"};

// Ten years of months, a share of the records in each, as the engine writes them.
int Generate(const std::string& dir, long records) {
    const std::string log = dir + "/LOG";
    ::mkdir(dir.c_str(), 0755);
    ::mkdir(log.c_str(), 0755);
    const int months = 120;
    unsigned seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    long written = 0;
    int64_t bytes = 0;
    for (int m = 0; m < months; ++m) {
        const int year = 2016 + m / 12, month = m % 12 + 1;
        char name[64];
        std::snprintf(name, sizeof name, "%s/KVTSF%04d%02d.LOG", log.c_str(), year, month);
        FILE* f = std::fopen(name, "wb");
        if (!f)
            return 1;
        const long inMonth = records / months + (m < records % months ? 1 : 0);
        for (long i = 0; i < inMonth; ++i, ++written) {
            const int day = 1 + static_cast<int>(i * 28 / inMonth);
            const int secs = static_cast<int>(next() % 86400);
            const bool down = next() % 3 != 0;
            const unsigned partner = next() % 40;
            char line[512];
            const int n = std::snprintf(
                line, sizeof line,
                "%04d-%02d-%02d %02d:%02d:%02d %s%s_%06ld %s.EDI FileSize:%u Sender:%s%02u "
                "Receiver:%s%02u Type:%s\r\n",
                year, month, day, secs / 3600, secs / 60 % 60, secs % 60,
                down ? "Download File->" : "Upload File->", down ? "CUSRES" : "CUSCAR", written,
                partner % 2 ? "MANIFEST" : "REPLY", 200 + next() % 90000,
                down ? "PARTNER" : "OWNCODE", down ? partner : 0, down ? "OWNCODE" : "PARTNER",
                down ? 0 : partner, kTypes[next() % 12]);
            std::fwrite(line, 1, static_cast<size_t>(n), f);
            bytes += n;
        }
        std::fclose(f);
    }
    std::printf("generated %ld records, %.1f MB of logs in %d files\n", written, bytes / 1e6,
                months);
    return 0;
}

int Open(const std::string& dir) {
    auto t = std::chrono::steady_clock::now();
    const double cpu = CpuMs();
    kv::HistoryIndex index(dir);
    if (!index.Warning().empty())
        std::printf("%s\n", index.Warning().c_str());
    const kv::RefreshResult r = index.Refresh();
    const double ms = Ms(t);
    std::printf("open: %.0f ms (processor %.0f ms), %lld records taken, %lld in the index\n", ms,
                CpuMs() - cpu, static_cast<long long>(r.added),
                static_cast<long long>(index.Count()));
    return 0;
}

int Query(const std::string& dir) {
    auto t = std::chrono::steady_clock::now();
    kv::HistoryIndex index(dir);
    index.Refresh();
    std::printf("open with nothing new: %.0f ms\n", Ms(t));
    struct Case {
        const char* what;
        kv::HistoryFilter filter;
        kv::HistorySort sort;
    };
    kv::HistoryFilter name, partner, month, type, none, rare;
    name.text = "000123";
    partner.text = "PARTNER17";
    month.fromDay = 20210301;
    month.untilDay = 20210331;
    type.type = "INVOIC(EDIFACT)";
    rare.text = "_123456 ";
    const Case cases[] = {
        {"all, newest first", none, {}},
        {"name part, newest first", name, {}},
        {"one file by name", rare, {}},
        {"partner, newest first", partner, {}},
        {"one month, newest first", month, {}},
        {"type, newest first", type, {}},
        {"all, by name", none, {kv::HistoryColumn::Name, false}},
        {"partner, by size", partner, {kv::HistoryColumn::Size, true}},
    };
    for (const Case& c : cases) {
        t = std::chrono::steady_clock::now();
        const double cpu = CpuMs();
        const kv::HistoryIndex::Found found = index.Query(c.filter, c.sort);
        const std::vector<int64_t>& ids = found.ids;
        const auto days = kv::ContinuousDays(found.days, c.filter.fromDay, c.filter.untilDay);
        const double queryMs = Ms(t), queryCpuMs = CpuMs() - cpu;
        t = std::chrono::steady_clock::now();
        std::vector<int64_t> first(
            ids.begin(), ids.begin() + static_cast<long>(std::min<size_t>(ids.size(), 256)));
        const auto rows = index.Fetch(first);
        const double rowsMs = Ms(t);
        std::printf("%-26s %8zu rows: query with daily counts %5.0f ms (processor %4.0f ms, "
                    "%zu days), first 256 rows %4.1f ms\n",
                    c.what, ids.size(), queryMs, queryCpuMs, days.size(), rowsMs);
    }
    t = std::chrono::steady_clock::now();
    const auto types = index.Types();
    std::printf("types: %zu in %.0f ms\n", types.size(), Ms(t));
    return 0;
}

int Export(const std::string& dir, const std::string& file) {
    kv::HistoryIndex index(dir);
    index.Refresh();
    kv::HistoryFilter partner;
    partner.text = "PARTNER17";
    auto t = std::chrono::steady_clock::now();
    int64_t n = kv::ExportHistoryCsv(index, partner, {}, file);
    std::printf("export of one partner: %lld rows in %.0f ms\n", static_cast<long long>(n), Ms(t));
    t = std::chrono::steady_clock::now();
    n = kv::ExportHistoryCsv(index, {}, {}, file);
    std::printf("export of everything: %lld rows in %.0f ms\n", static_cast<long long>(n), Ms(t));
    return 0;
}

} // namespace

// The process's peak resident memory, for each step on its own.
int PeakMemory(int code) {
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    std::printf("peak memory: %.1f MiB\n", ru.ru_maxrss / 1024.0);
    return code;
}

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "generate" && argc >= 3)
            return Generate(argv[2], argc > 3 ? std::atol(argv[3]) : 1000000);
        if (mode == "open" && argc == 3)
            return PeakMemory(Open(argv[2]));
        if (mode == "query" && argc == 3)
            return PeakMemory(Query(argv[2]));
        if (mode == "export" && argc == 4)
            return PeakMemory(Export(argv[2], argv[3]));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "history_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: history_bench generate DIR [RECORDS] | open DIR | query DIR | "
                         "export DIR FILE\n");
    return 2;
}
