// The user's programs around the transfer passes (see Hooks.h).
#include "engine/cycle/Hooks.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "engine/cycle/CycleState.h"
#include "logging/Logs.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <algorithm>
#include <climits>

namespace kv {

namespace {

// The limit of an exclusive hook in automatic mode when TimeInterval is below
// a minute and a half (it rounds to 0 minutes or less): a third of a minute.
constexpr int64_t kMinAutoLimitMs = 20000;
// The longest limit that still fits in milliseconds.
constexpr int64_t kMaxMinutes = INT64_MAX / 60000;

} // namespace

int64_t HookTimeLimit(const std::string& timeInterval, bool autoMode, char localeSeparator) {
    int64_t minutes = RoundHalfEven(ParseDecimal(timeInterval, localeSeparator));
    minutes = std::clamp(minutes, -kMaxMinutes, kMaxMinutes);
    if (!autoMode)
        return 0;
    // Unattended, a program that never ends must not hold the cycle for good.
    return std::max(minutes * 60000 / 3, kMinAutoLimitMs);
}

void RunHook(AppState& state, const HookSettings& hook, const std::string& timeInterval) {
    if (cycle::Stopping(state))
        return;
    const std::string& program = hook.program;
    const std::string& parameters = hook.parameters;
    if (!hook.run || program.empty())
        return;
    ReportInfo(state, "Run Program " + PrintableName(program));
    if (!hook.exclusive) {
        OpenProgram(program, parameters);
        return;
    }
    int64_t limit = HookTimeLimit(timeInterval, state.AutoMode, LocaleDecimalSeparator());
    // A program path with blanks in it (it names an existing file) stays one word.
    std::string line = program;
    if (FileExists(program) && program.find_first_of(" \t'\"\\") != std::string::npos) {
        line = "'";
        for (char c : program) {
            if (c == '\'')
                line.append("'\\''");
            else
                line.push_back(c);
        }
        line.push_back('\'');
    }
    line.push_back(' ');
    line.append(parameters);
    // A stop request ends the wait and the program's process group as the
    // limit does.
    RunProgram(line, limit, true, [&state] { return cycle::Stopping(state); });
}

} // namespace kv
