#include "engine/SessionEvents.h"

#include "app/AppState.h"
#include "engine/Connection.h"
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
        }
    }

    AppState& state_;
    RemoteSession* session_ = nullptr;
    bool detached_ = false;
};

} // namespace

std::shared_ptr<RemoteSession> MakeRoutedSession(AppState& state) {
    // Never a guess: a protocol the program does not know connects nowhere.
    const std::string protocol = UpperCase(Trim(state.settings.Protocol));
    if (!protocol.empty() && protocol != "FTP" && protocol != "SFTP")
        throw FtpError("Options/Protocol is \"" + state.settings.Protocol +
                       "\", which is neither FTP nor SFTP; correct it in Korvane.ini. Nothing "
                       "was sent");
    RemoteSession* made =
        protocol == "SFTP" ? static_cast<RemoteSession*>(new SftpSession) : new FtpSession;
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

void RequestAbort(AppState& state) {
    state.AbortRequested = true;
    ReportInfo(state, "Abort Transfer!");
}

KeepAliveResult KeepAliveTick(AppState& state) {
    std::shared_ptr<RemoteSession> s = state.FtpSession;
    if (!s || !s->Connected()) {
        if (state.host)
            state.host->StopKeepAlive();
        return KeepAliveResult::Stopped;
    }
    // A NOOP between a command and its reply would desynchronise the replies.
    if (state.Transferring || s->Busy())
        return KeepAliveResult::Skipped;
    try {
        s->Noop();
        return KeepAliveResult::Sent;
    } catch (...) {
        // The failed NOOP may have waited while a new session replaced this
        // one: only the session it used is closed.
        if (state.FtpSession != s)
            return KeepAliveResult::Skipped;
        DisconnectSession(state);
        return KeepAliveResult::Dropped;
    }
}

} // namespace kv
