#pragma once
// Starting other programs. Command lines are split into words as a shell
// would (blanks separate words; single quotes, double quotes and backslashes
// quote), but no shell is started: there are no variables, wildcards,
// redirections or pipes.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

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

} // namespace kv
