#pragma once
// The update script: a file "update" in the program folder whose lines write,
// add or change settings. It is applied once, at the first start of a newer
// program version, then marked done with the single line ";END"; the script as
// it was is kept as "update.old".
#include <optional>
#include <string>
#include <vector>

namespace kv {

struct AppState;

// Fields of one command line: separated by '$', a '$' inside a pair of single
// or double quotes belongs to the field (quotes kept), empty fields dropped.
std::vector<std::string> SplitUpdateLine(const std::string& line);

// A version number as text to a number, independent of the locale ("." is the
// separator); nothing when the text is not a number.
std::optional<double> ParseVersionNumber(const std::string& text);

// Applies the script when Options/VersionNumber is below state.ProgramVersion.
// File errors on the script files throw FileError (the version is already raised).
void ApplyUpdateScript(AppState& state);

} // namespace kv
