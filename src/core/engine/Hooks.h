#pragma once
// The user's programs run around the transfer passes: one before each send
// pass, one after each receive pass. A hook either starts its program and
// carries on at once (detached in a session of its own, never waited for), or,
// exclusive, runs it and blocks the cycle until it ends: in automatic mode for
// at most a third of the automatic interval, after which the program and
// everything it started in its process group are ended.
//
// Command lines are split into words as a shell would (blanks separate words;
// single quotes, double quotes and backslashes quote), but no shell is started:
// there are no variables, wildcards, redirections or pipes.
#include "util/Text.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

struct AppState;

enum class HookKind { BeforeSend, AfterReceive };

// Runs the hook when its switch (Options/RunBefore, RunAfter) is exactly "1" and
// its program (ProgramRunBefore, ProgramRunAfter) is not empty, reading every
// setting from the settings file now. Reports "INFO:Run Program " + program
// before anything else. Exclusive (ExclusiveRunBefore, ExclusiveRunAfter "1"):
// runs program + " " + parameters with the limit of HookTimeLimit and without
// processing host events while it waits. Otherwise the program is started
// detached with its parameters; a program that is not executable is handed to
// xdg-open. A program that cannot be started is passed over in silence.
// Throws FloatConversionError when an exclusive hook's TimeInterval is not a number.
void RunHook(AppState& state, HookKind kind);

// Starts the command line: its first word names the program (searched in PATH
// when it holds no '/'), in a new process group, with standard input from
// /dev/null and no other inherited files. With wait, waits for its end (at
// most limitMs when above 0) and returns its exit status (128 + signal when a
// signal ended it); a program still running at the limit has its whole process
// group ended (SIGTERM, then SIGKILL after a short grace) and gives 0. Without
// wait it is started detached and 0 is returned at once. -1, at once, when the
// program cannot be started or the line is not complete (an open quote).
// With stop, the wait also ends (and the process group with it, as at the
// limit) once stop() returns true; it is asked every 100 ms.
int RunProgram(const std::string& commandLine, int64_t limitMs, bool wait,
               const std::function<bool()>& stop = {});

// The non-exclusive start: program with the parameters split into words,
// detached; a program that is not executable goes to xdg-open as a document.
// False when nothing could be started.
bool OpenProgram(const std::string& program, const std::string& parameters);

// The words of a command line; nothing when a quote is left open.
std::optional<std::vector<std::string>> SplitCommandLine(std::string_view text);

// The exclusive wait's limit in milliseconds: TimeInterval minutes (rounded)
// x 60000 / 3 in automatic mode, at least 20 seconds (an interval that rounds
// to 0 minutes would otherwise mean no limit), 0 (none) otherwise. The text is converted in
// both modes, so a bad value always throws FloatConversionError.
int64_t HookTimeLimit(const std::string& timeInterval, bool autoMode, char localeSeparator);

} // namespace kv
