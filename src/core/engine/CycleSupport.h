#pragma once
// Pieces shared by the connection, receive and send code (not for callers
// outside the transfer engine).
#include <exception>
#include <memory>
#include <string>

namespace kv {

struct AppState;
class RemoteSession;

namespace cycle {

// The session the cycle works on; a copy, so a disconnect during a wait cannot
// free it under the running operation. Throws FtpError when there is none.
std::shared_ptr<RemoteSession> RequireSession(const AppState& state);

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

// True once a stop was requested (StopRequested, or the StopSignal flag): no
// further file, hook or folder pair may start.
bool Stopping(AppState& state);

// Reports a line with an "ERROR!:" prefix (counted as an error line).
void ReportBangError(AppState& state, const std::string& text);

} // namespace cycle
} // namespace kv
