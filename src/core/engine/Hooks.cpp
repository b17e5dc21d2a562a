// The user's programs around the transfer passes (see Hooks.h).
#include "engine/Hooks.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "config/SettingsKeys.h"
#include "engine/CycleSupport.h"
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

void RunHook(AppState& state, HookKind kind) {
    if (cycle::Stopping(state))
        return;
    const bool before = kind == HookKind::BeforeSend;
    IniFile ini(state.IniPath);
    const std::string program =
        ReadSetting(ini, before ? keys::ProgramRunBefore : keys::ProgramRunAfter);
    const std::string parameters =
        ReadSetting(ini, before ? keys::ParameterRunBefore : keys::ParameterRunAfter);
    if (!ReadFlag(ini, before ? keys::RunBefore : keys::RunAfter) || program.empty())
        return;
    ReportInfo(state, "Run Program " + PrintableName(program));
    if (!ReadFlag(ini, before ? keys::ExclusiveRunBefore : keys::ExclusiveRunAfter)) {
        OpenProgram(program, parameters);
        return;
    }
    int64_t limit = HookTimeLimit(ReadSetting(ini, keys::TimeInterval), state.AutoMode,
                                  LocaleDecimalSeparator());
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
