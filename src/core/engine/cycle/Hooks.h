#pragma once
// The user's programs run around the transfer passes: one before each send
// pass, one after each receive pass. A hook either starts its program and
// carries on at once (detached in a session of its own, never waited for), or,
// exclusive, runs it and blocks the cycle until it ends: in automatic mode for
// at most a third of the automatic interval, after which the program and
// everything it started in its process group are ended.
// The programs are started through util/Programs.
#include "util/Programs.h"
#include "util/Text.h"

#include <cstdint>
#include <string>

namespace kv {

struct AppState;
struct HookSettings;

// Runs the hook when its switch (Options/RunBefore, RunAfter) is exactly "1" and
// its program (ProgramRunBefore, ProgramRunAfter) is not empty, as the
// cycle's settings say. Reports "INFO:Run Program " + program
// before anything else. Exclusive (ExclusiveRunBefore, ExclusiveRunAfter "1"):
// runs program + " " + parameters with the limit of HookTimeLimit and without
// processing host events while it waits. Otherwise the program is started
// detached with its parameters; a program that is not executable is handed to
// xdg-open. A program that cannot be started is passed over in silence.
// Throws FloatConversionError when an exclusive hook's TimeInterval is not a number.
void RunHook(AppState& state, const HookSettings& hook, const std::string& timeInterval);

// The exclusive wait's limit in milliseconds: TimeInterval minutes (rounded)
// x 60000 / 3 in automatic mode, at least 20 seconds (an interval that rounds
// to 0 minutes would otherwise mean no limit), 0 (none) otherwise. The text is converted in
// both modes, so a bad value always throws FloatConversionError.
int64_t HookTimeLimit(const std::string& timeInterval, bool autoMode, char localeSeparator);

} // namespace kv
