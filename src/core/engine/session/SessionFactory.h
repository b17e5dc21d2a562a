#pragma once
// The one place sessions are made: FTP (and explicit FTPS) or SFTP as
// Options/Protocol says, configured from the cycle's settings, with its
// events routed through the core, which keeps the transfer state (Transferring,
// AbortRequested, TransferStart, ExpectedSize), pauses the keep-alive around
// data transfers, acts on an abort request and reports status texts and the
// disconnection as "INFO:" lines before they reach the host.
#include <memory>

namespace kv {

struct AppState;
struct CycleSettings;
class RemoteSession;

// A new session, not yet connected. Throws FtpError for a protocol that is
// neither FTP nor SFTP. The returned pointer keeps the event router alive as
// long as the session lives.
std::shared_ptr<RemoteSession> MakeSession(AppState& state, const CycleSettings& settings);

} // namespace kv
