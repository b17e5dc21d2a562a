// The one place sessions are made: the protocol's session with what the
// settings say, its events passing through the core to the host.
#include "engine/session/SessionFactory.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "config/SettingsWriter.h"
#include "ftp/FtpSession.h"
#include "logging/Logs.h"
#include "sftp/SftpSession.h"
#include "util/Text.h"

#include <chrono>

namespace kv {

namespace {

int64_t MonotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Sits between the session and the host, turning the session's events into
// the host's; deleted together with the session it serves.
class SessionRouter final : public remote::Events {
public:
    explicit SessionRouter(AppState& state) : state_(state) {}

    void Attach(RemoteSession* session) { session_ = session; }

    // From here on events are dropped: the session is being destroyed, possibly
    // together with the state that owns it.
    void Detach() { detached_ = true; }

    void Idle() override {
        if (Host* h = Target())
            h->ProcessPendingEvents();
    }
    void Trace(const std::string& line) override {
        if (Host* h = Target())
            h->FtpTrace(line);
    }
    void Status(const std::string& text) override {
        if (detached_)
            return;
        Report(text);
        if (Host* h = state_.host)
            h->FtpStatus(text);
    }
    void Disconnected() override {
        if (detached_)
            return;
        Report("Disconnected.");
        if (Host* h = state_.host)
            h->FtpDisconnected();
    }
    void WorkBegin(WorkDirection dir, int64_t announcedSize) override {
        if (detached_)
            return;
        if (Host* h = state_.host)
            h->StopKeepAlive();
        state_.Transferring = true;
        ++state_.TransfersStarted;
        state_.AbortRequested = false;
        state_.TransferStart = MonotonicMs();
        if (Host* h = state_.host)
            h->FtpWorkBegin(dir, announcedSize > 0 ? announcedSize : state_.ExpectedSize);
    }
    void Work(WorkDirection dir, int64_t total) override {
        if (detached_)
            return;
        if (Host* h = state_.host)
            h->FtpWork(dir, total);
        if (state_.AbortRequested && session_)
            session_->Abort();
        state_.AbortRequested = false;
    }
    void WorkEnd(WorkDirection dir) override {
        if (detached_)
            return;
        state_.ExpectedSize = 0;
        state_.Transferring = false;
        if (Host* h = state_.host) {
            h->FtpWorkEnd(dir);
            h->StartKeepAlive();
        }
    }

private:
    Host* Target() const { return detached_ ? nullptr : state_.host; }

    // A status line that cannot be logged must not break the running command.
    void Report(const std::string& text) {
        try {
            ReportInfo(state_, text);
        } catch (...) {
            // An event handler must not throw into the session's wait.
        }
    }

    AppState& state_;
    RemoteSession* session_ = nullptr;
    bool detached_ = false;
};

// A host key no setting pins yet: the window asks its user, and a key the
// user trusts is pinned for the next connections; without a user to ask it
// is refused with the line that says how to pin it.
bool PinHostKey(AppState& state, const std::string& host, const std::string& fingerprint,
                const std::string& keyType) {
    if (!state.host || !state.host->ConfirmHostKey(host, fingerprint, keyType))
        throw FtpError("The SFTP server " + host + " presented the host key " + fingerprint + " (" +
                       keyType +
                       "), which is not pinned and was not accepted; nothing "
                       "was sent. Check it with the server's administrator, then set "
                       "Options/SFTPHostKey=" +
                       fingerprint + " in Korvane.ini (or accept it when the window asks)");
    SettingsWriter(state.IniPath).Write(keys::SFTPHostKey, fingerprint);
    state.settings.SFTPHostKey = fingerprint;
    ReportInfo(state, "The host key " + fingerprint + " of the SFTP server " + host +
                          " is pinned in Options/SFTPHostKey.");
    return true;
}

// What every session takes from the settings, whatever its protocol.
void Configure(RemoteSession& s, const AppState& state, const CycleSettings& settings) {
    const Settings& st = settings.record;
    s.Host = st.Host;
    s.Port = st.Port;
    s.User = st.UserID;
    s.Password = st.Password;
    s.Type = st.BinaryTransfer() ? TransferType::Binary : TransferType::Ascii;
    s.Proxy = ProxySettings{};
    if (st.ProxyType >= 1 && st.ProxyType <= 3) {
        s.Proxy.Version = static_cast<SocksVersion>(st.ProxyType);
        s.Proxy.Authentication = st.ProxyAuthentication == 1 ? SocksAuthentication::UserPassword
                                                             : SocksAuthentication::None;
        s.Proxy.Host = st.ProxyHost;
        s.Proxy.Port = st.ProxyPort;
        s.Proxy.UserID = st.ProxyUserID;
        s.Proxy.Password = st.ProxyPassword;
    }
    s.NetTimeOut = settings.netTimeOutSeconds;
    s.SetTraceEnabled(state.TraceWanted);
}

RemoteSession* MakeFtp(const Settings& st) {
    auto* ftp = new FtpSession;
    ftp->Passive = st.Passive;
    ftp->UseTls = st.FTPS;
    ftp->TlsCAFile = st.FTPSCAFile;
    ftp->TlsFingerprint = st.FTPSFingerprint;
    return ftp;
}

RemoteSession* MakeSftp(AppState& state, const Settings& st) {
    auto* sftp = new SftpSession;
    sftp->HostKey = st.SFTPHostKey;
    sftp->KeyFile = st.SFTPKeyFile;
    sftp->KeyPassword = st.SFTPKeyPassword;
    sftp->AcceptHostKey = [&state, host = st.Host](const std::string& fingerprint,
                                                   const std::string& keyType) {
        return PinHostKey(state, host, fingerprint, keyType);
    };
    return sftp;
}

} // namespace

std::shared_ptr<RemoteSession> MakeSession(AppState& state, const CycleSettings& settings) {
    // Never a guess: a protocol the program does not know connects nowhere.
    const Settings& st = settings.record;
    const std::string protocol = UpperCase(Trim(st.Protocol));
    if (!protocol.empty() && protocol != "FTP" && protocol != "SFTP")
        throw FtpError("Options/Protocol is \"" + st.Protocol +
                       "\", which is neither FTP nor SFTP; correct it in Korvane.ini. Nothing "
                       "was sent");
    RemoteSession* made = protocol == "SFTP" ? MakeSftp(state, st) : MakeFtp(st);
    Configure(*made, state, settings);
    auto router = std::make_shared<SessionRouter>(state);
    // The router outlives the session: events the session raises while it
    // closes still find it, and once detached it passes nothing on.
    std::shared_ptr<RemoteSession> session(made, [router](RemoteSession* p) {
        router->Detach();
        delete p;
    });
    router->Attach(session.get());
    session->SetEvents(router.get());
    return session;
}

} // namespace kv
