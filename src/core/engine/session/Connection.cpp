#include "engine/session/Connection.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "engine/session/ClientInfo.h"
#include "engine/session/SessionFactory.h"
#include "ftp/FtpSession.h"
#include "ftp/NetSocket.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kv {

namespace {

void UploadClientInfo(RemoteSession& s, bool binary, const std::string& localPath,
                      const std::string& remoteName) {
    if (binary) {
        s.Put(localPath, remoteName, false);
        return;
    }
    s.SetTransferType(TransferType::Binary);
    try {
        s.Put(localPath, remoteName, false);
    } catch (...) {
        // Later transfers must not run in binary because this upload failed.
        try {
            if (s.Connected())
                s.SetTransferType(TransferType::Ascii);
        } catch (...) {
            // The upload's own failure is the one that counts.
        }
        throw;
    }
    s.SetTransferType(TransferType::Ascii);
}

// Closes and forgets a session that failed to come up.
void TearDown(AppState& state, const std::shared_ptr<RemoteSession>& s) {
    try {
        if (s && s->Connected())
            s->Disconnect();
    } catch (...) {
        // A session that did not come up is forgotten however it closes.
    }
    if (state.host)
        state.host->StopKeepAlive();
    if (state.FtpSession == s)
        state.FtpSession.reset();
}

} // namespace

bool ConnectSession(AppState& state, const CycleSettings& settings) {
    bool result = false;
    // WinXPFirewall concerns the Windows XP firewall only, which Linux does
    // not have: connecting never switches a firewall off.
    std::shared_ptr<RemoteSession> s;
    try {
        s = MakeSession(state, settings);
        state.FtpSession = s;
        s->Connect(true);
        if (state.host)
            state.host->StartKeepAlive();
        result = true;
        if (state.InfoFilePending) {
            std::string localPath = state.PathInProgramDir("KVinf.txt");
            std::string ip = LocalIPAddress();
            // A failure here is a connect failure: the next connect tries again.
            AtomicWriteFile(
                localPath,
                ClientInfoText(state, settings, ip, QueryOsVersion(), LocalIPv6Address()), 0644,
                state.ProgramDir);
            try {
                UploadClientInfo(*s, settings.record.BinaryTransfer(), localPath,
                                 ClientInfoRemoteName(ip));
            } catch (const std::exception& e) {
                if (*e.what() == '\0')
                    throw;
                ReportError(state, FirstCrLfToBlank(e.what()));
            }
            state.InfoFilePending = false;
        }
    } catch (const std::exception& e) {
        std::string message = e.what();
        if (message.empty()) {
            ReportError(state, "FTP Connect ERROR!!!!");
            return result;
        }
        try {
            ReportError(state, FirstCrLfToBlank(message) + "!");
        } catch (...) {
            // The log is failing too; the session is torn down all the same.
        }
        if (state.MessageBoxesAllowed && state.host)
            state.host->ShowMessageBox(message);
        TearDown(state, s);
        result = false;
    } catch (...) {
        // A failure without a text: the connect's own line says it.
        ReportError(state, "FTP Connect ERROR!!!!");
    }
    return result;
}

bool HasSession(const AppState& state) {
    return state.FtpSession != nullptr;
}

bool SessionConnected(const AppState& state) {
    return state.FtpSession && state.FtpSession->Connected();
}

void SetSessionTrace(AppState& state, bool on) {
    state.TraceWanted = on;
    if (state.FtpSession)
        state.FtpSession->SetTraceEnabled(on);
}

bool DisconnectSession(AppState& state) {
    bool result = true;
    std::shared_ptr<RemoteSession> s = state.FtpSession;
    if (s && s->Connected()) {
        try {
            if (state.Transferring)
                s->Abort();
            s->Disconnect();
            if (state.host)
                state.host->StopKeepAlive();
        } catch (...) {
            // Whatever failed, the session is released below; the line says so.
            result = false;
            try {
                ReportError(state, "FTP Disconnect ERROR!!!");
            } catch (...) {
                // The log is failing too; the session is released all the same.
            }
        }
    }
    if (state.host)
        state.host->StopKeepAlive();
    // An operation still waiting inside the session keeps its own reference;
    // it fails on the closed connection and nothing is freed under it.
    if (state.FtpSession == s)
        state.FtpSession.reset();
    state.Transferring = false;
    return result;
}

namespace {

// A TCP connect to host:port within limitMs, pumping the host's events every
// 50 ms. True when the connection was accepted.
bool TcpReachable(AppState& state, const std::string& host, const char* port, int limitMs) {
    if (host.empty())
        return false;
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* res = nullptr;
    const std::string name = net::HostWithoutBrackets(host); // "[2001:db8::1]"
    if (::getaddrinfo(name.c_str(), port, &hints, &res) != 0 || !res)
        return false;
    bool ok = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (struct addrinfo* a = res; a && !ok; a = a->ai_next) {
        int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            while (std::chrono::steady_clock::now() < deadline) {
                struct pollfd p {
                    fd, POLLOUT, 0
                };
                int n = ::poll(&p, 1, 50);
                if (n > 0) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    ok = err == 0;
                    break;
                }
                if (n < 0 && errno != EINTR)
                    break;
                if (state.host)
                    state.host->ProcessPendingEvents();
            }
        }
        ::close(fd);
    }
    ::freeaddrinfo(res);
    return ok;
}

} // namespace

std::string HostKeyQuestion(const AppState& state, const std::string& host,
                            const std::string& fingerprint, const std::string& keyType) {
    auto text = [&](const char* code, const char* english) {
        const std::string t = LangMessage(state, code);
        return t.empty() ? std::string(english) : t;
    };
    // One fact a line: a line with a blank in it would wrap in a message box.
    return text("f10", "This SFTP server presents a host key that is not pinned yet:") + "\n\n" +
           host + "\n" + keyType + "\n" + fingerprint + "\n\n" +
           text("f11", "Compare it with the fingerprint the server's administrator gave you. "
                       "Trust it and pin it for the next connections?");
}

void TestConnection(AppState& state) {
    // The test always aims at the protocol's standard port (FTP's, or SSH's
    // for an SFTP mailbox), directly, whatever Port and the proxy say.
    if (TcpReachable(state, state.settings.Host, state.settings.Sftp() ? "22" : "21", 20000)) {
        ReportMessage(state, InfoLine(state, LangMessage(state, "m01")), true,
                      state.ShowTestSuccessBox);
    } else {
        ReportError(state, LangMessage(state, "m02"), true);
    }
}

} // namespace kv
