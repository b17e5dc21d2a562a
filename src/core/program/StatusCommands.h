#pragma once
// korvaned STATUS and CHECK: the last cycle's status file read for a person,
// and judged for a monitoring system by the monitoring-plugin conventions
// (one status line, exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN).
#include <cstdint>
#include <ctime>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// The longest threshold CHECK takes: ten years, far beyond any monitoring
// interval and far from where the seconds would overflow.
inline constexpr int64_t kLongestDuration = 3650LL * 86400;

// "90", "90s", "15m", "2h", "1d", "1h30m" as seconds; nothing when it is
// none or longer than kLongestDuration.
std::optional<int64_t> ParseDuration(std::string_view text);

struct CheckResult {
    int code = 3; // 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN
    std::string line;
};

// The status of the program folder judged at now: CRITICAL when the last
// good cycle is critSeconds old or more (or there was none), WARNING when
// it is warnSeconds old or the last cycle's outcome was not "ok", UNKNOWN
// when there is no readable status file, when one of its times names no
// moment, or when the last cycle or the last good one ended after now (the
// clock was changed: no age can be told).
CheckResult CheckStatus(const std::string& programDir, int64_t warnSeconds, int64_t critSeconds,
                        std::time_t now);

// The words after STATUS or CHECK; the exit status.
int RunStatusCommand(const std::string& programDir, std::time_t now, std::ostream& out,
                     std::ostream& err);
int RunCheckCommand(const std::string& programDir, const std::vector<std::string>& args,
                    std::time_t now, std::ostream& out);

} // namespace kv
