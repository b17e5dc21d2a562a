#pragma once
// Connection management: the one FTP session of the program, built from the
// settings record, and the client information file uploaded once per run.
#include <string>

namespace kv {

struct AppState;
struct CycleSettings;

// Builds the session from the cycle's settings, logs in, starts the keep-alive and,
// on the first connect of the run, writes and uploads "KVinf.txt". True when
// logged in. Failures are reported; the session is then released.
bool ConnectSession(AppState& state, const CycleSettings& settings);
// Ends the session (aborting a running transfer first) and releases it.
// False only when closing a connected session failed.
bool DisconnectSession(AppState& state);
// A session is open (made by ConnectSession and not released yet).
bool HasSession(const AppState& state);
// The open session is logged in.
bool SessionConnected(const AppState& state);
// Shows or hides the protocol trace of the open session (and of the next).
void SetSessionTrace(AppState& state, bool on);
// Checks that Host accepts a TCP connection on port 21 (m01 / m02 lines).
void TestConnection(AppState& state);
// The window's question about an SFTP server's host key that no setting pins
// yet: message codes "f10" and "f11" of the current language pack (English
// when the pack has none) around the host, the fingerprint and the key type.
std::string HostKeyQuestion(const AppState& state, const std::string& host,
                            const std::string& fingerprint, const std::string& keyType);

} // namespace kv
