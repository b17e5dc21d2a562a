#pragma once
// What the core needs from whoever runs it: the window (GUI), a headless
// runner, or a test. The core never calls Qt; it calls this.
#include "util/WorkDirection.h"

#include <cstdint>
#include <string>

namespace kv {

class Host {
public:
    virtual ~Host() = default;

    // Log view: one reported line (already time-stamped and prefixed).
    virtual void AddLogViewLine(const std::string& line) { (void)line; }
    // A modal message box; returns when the user closed it.
    virtual void ShowMessageBox(const std::string& text) { (void)text; }
    // Idle pump: process pending window events and timer ticks. Called between
    // the 50 ms slices of every network wait.
    virtual void ProcessPendingEvents() {}

    // FTP session events (trace lines, status texts, disconnection, work progress).
    virtual void FtpTrace(const std::string& line) { (void)line; }
    virtual void FtpStatus(const std::string& text) { (void)text; }
    virtual void FtpDisconnected() {}
    virtual void FtpWorkBegin(WorkDirection dir, int64_t announcedSize) {
        (void)dir;
        (void)announcedSize;
    }
    virtual void FtpWork(WorkDirection dir, int64_t total) {
        (void)dir;
        (void)total;
    }
    virtual void FtpWorkEnd(WorkDirection dir) { (void)dir; }

    // An SFTP server's host key that is not pinned yet: the user sees its
    // fingerprint and decides. True trusts it (the core then pins it); a host
    // without a user to ask refuses.
    virtual bool ConfirmHostKey(const std::string& host, const std::string& fingerprint,
                                const std::string& keyType) {
        (void)host;
        (void)fingerprint;
        (void)keyType;
        return false;
    }

    // Keep-alive timer of an open session (90 s NOOP), owned by the host.
    virtual void StartKeepAlive() {}
    virtual void StopKeepAlive() {}
};

} // namespace kv
