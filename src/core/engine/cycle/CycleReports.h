#pragma once
// How the passes of a cycle report a failure: its message, the restart flag
// the companion tray program reads, and the error lines.
#include <exception>
#include <string>

namespace kv {

struct AppState;

namespace cycle {

// The message of a caught failure ("" for one without text).
std::string MessageOf(const std::exception_ptr& error);

// KVTray/MustReBoot := "1" (read by the companion tray program). A failure to
// write it is reported, never thrown. Not set once a stop was requested: what
// failed then is the stop, not the connection.
void SetRestartFlag(AppState& state);

// Reports a failure's message as the cycles do: its first CR LF becomes one
// blank, "Socket Error" in it sets the restart flag, and the line is
// "ERROR:" + message + "!!!".
void ReportFailure(AppState& state, const std::string& message);

// Reports a line with an "ERROR!:" prefix (counted as an error line).
void ReportBangError(AppState& state, const std::string& text);

} // namespace cycle
} // namespace kv
