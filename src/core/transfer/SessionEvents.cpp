#include "transfer/SessionEvents.h"

#include "app/AppState.h"
#include "logging/Logs.h"
#include "transfer/Connection.h"
#include "transfer/FtpSession.h"

#include <chrono>

namespace kv {

namespace {

int64_t MonotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Sits between the session and the host. Lives in one allocation with the
// session it serves, so neither can outlive the other.
class SessionRouter final : public Host {
public:
    SessionRouter(AppState& state, FtpSession& session) : state_(state), session_(session) {}

    // From here on events are dropped: the session is being destroyed, possibly
    // together with the state that owns it.
    void Detach() { detached_ = true; }

    void ProcessPendingEvents() override {
        if (Host* h = Target())
            h->ProcessPendingEvents();
    }
    void FtpTrace(const std::string& line) override {
        if (Host* h = Target())
            h->FtpTrace(line);
    }
    void FtpStatus(const std::string& text) override {
        if (detached_)
            return;
        Report(text);
        if (Host* h = state_.host)
            h->FtpStatus(text);
    }
    void FtpDisconnected() override {
        if (detached_)
            return;
        Report("Disconnected.");
        if (Host* h = state_.host)
            h->FtpDisconnected();
    }
    void FtpWorkBegin(WorkDirection dir, int64_t announcedSize) override {
        if (detached_)
            return;
        if (Host* h = state_.host)
            h->StopKeepAlive();
        state_.Transferring = true;
        state_.AbortRequested = false;
        state_.TransferStart = MonotonicMs();
        if (Host* h = state_.host)
            h->FtpWorkBegin(dir, announcedSize > 0 ? announcedSize : state_.ExpectedSize);
    }
    void FtpWork(WorkDirection dir, int64_t total) override {
        if (detached_)
            return;
        if (Host* h = state_.host)
            h->FtpWork(dir, total);
        if (state_.AbortRequested)
            session_.Abort();
        state_.AbortRequested = false;
    }
    void FtpWorkEnd(WorkDirection dir) override {
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
    FtpSession& session_;
    bool detached_ = false;
};

struct RoutedSession {
    explicit RoutedSession(AppState& state) : router(state, session) {}
    ~RoutedSession() { router.Detach(); }
    RoutedSession(const RoutedSession&) = delete;
    RoutedSession& operator=(const RoutedSession&) = delete;
    // The router is built first and destroyed last: the session may raise
    // events while it closes.
    SessionRouter router;
    FtpSession session;
};

} // namespace

std::shared_ptr<FtpSession> MakeRoutedSession(AppState& state) {
    auto bundle = std::make_shared<RoutedSession>(state);
    bundle->session.SetHost(&bundle->router);
    return std::shared_ptr<FtpSession>(bundle, &bundle->session);
}

void RequestAbort(AppState& state) {
    state.AbortRequested = true;
    ReportInfo(state, "Abort Transfer!");
}

KeepAliveResult KeepAliveTick(AppState& state) {
    std::shared_ptr<FtpSession> s = state.FtpSession;
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
        if (state.FtpSession)
            DisconnectSession(state);
        return KeepAliveResult::Dropped;
    }
}

} // namespace kv
