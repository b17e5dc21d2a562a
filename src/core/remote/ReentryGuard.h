#pragma once
// The one-operation-at-a-time rule of a session with the mailbox's server,
// shared by the FTP and the SFTP sessions. A network wait pumps the window's
// events, so a timer or a command can call into a session while one of its
// operations waits; a second operation would interleave with the first on the
// connection, so it is refused with FtpBusyError instead.
#include "remote/RemoteErrors.h"
#include "remote/RemoteSession.h"

#include <memory>
#include <utility>

namespace kv::remote {

// Held for the whole of one operation. It keeps the session alive (an event
// handler may drop the owner's last reference during a wait), refuses to
// start while `running` is set, keeps `running` set until the operation ends,
// then calls `leave`: the session's own tidying up, which sees the session
// free already.
template <class Leave> class ReentryGuard {
public:
    ReentryGuard(RemoteSession& session, bool& running, Leave leave)
        : keep_(session.weak_from_this().lock()), running_(running), leave_(std::move(leave)) {
        if (running_)
            throw FtpBusyError();
        running_ = true;
    }
    ~ReentryGuard() {
        running_ = false;
        leave_();
    }
    ReentryGuard(const ReentryGuard&) = delete;
    ReentryGuard& operator=(const ReentryGuard&) = delete;

private:
    std::shared_ptr<RemoteSession> keep_; // released last, after leave_
    bool& running_;
    Leave leave_;
};

} // namespace kv::remote
