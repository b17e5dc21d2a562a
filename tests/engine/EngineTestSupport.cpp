#include "EngineTestSupport.h"

#include "engine/session/Connection.h"
#include "ftp/FtpSession.h"
#include "logging/Logs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#ifndef KORVANE_ENGINE_TEST_DIR
#error "KORVANE_ENGINE_TEST_DIR must name tests/engine"
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kvtest {

FaultFtpServer::FaultFtpServer()
    : PyFtpdServer("pyftpdlib (faults)", std::string(KORVANE_ENGINE_TEST_DIR) + "/fault_ftpd.py",
                   "kvengine", "Kv-engine-pass") {}

FaultFtpServer& SharedFaultFtpd() {
    return Shared<FaultFtpServer>();
}

Mailbox::Mailbox(FtpServer& s, bool passive) : server(s), ini(dir / "Korvane.ini") {
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(server.root(), ec))
        std::filesystem::remove_all(e.path(), ec);
    for (const char* f : {"out", "in", "tmp"})
        server.makeDir(f);

    state.ProgramDir = dir.path();
    state.IniPath = dir / "Korvane.ini";
    state.host = &host;
    state.InfoFilePending = false;
    state.LanguageFile = "kvtest.ini";
    for (const char* f : {"INBOX", "OUTBOX", "ERROR", "BACKUP", "TMP", "Language", "LOG"})
        ::mkdir((dir / f).c_str(), 0755);
    WriteFile(dir / "Language/kvtest.ini",
              "[Messages]\r\nm01=Connect Test OK!\r\nm02=Connect Test Failed!\r\n"
              "f01=Is Not Your File, Moved To Error Folder!\r\n"
              "f02=Unknown File Type!\r\n");
    kv::Settings& st = state.settings;
    st.Host = server.host();
    st.Port = server.port();
    st.UserID = server.user();
    st.Password = server.password();
    st.TransferType = "BIN";
    st.FileSender = "SENDER1";
    st.Passive = passive;
    WriteFile(state.IniPath, "[Options]\r\nRemoteOutPath=out\r\nLocalInPath=" + inbox() +
                                 "\r\nRemoteInPath=in\r\nLocalOutPath=" + outbox() +
                                 "\r\nLocalErrPath=" + errors() + "\r\nLocalBackupPath=" +
                                 backup() + "\r\nNetTimeOut=10\r\nOutboxSettleTime=0\r\n");
}

Mailbox::~Mailbox() {
    state.FtpSession.reset();
    state.host = nullptr;
}

void Mailbox::putRemote(const std::string& folder, const Files& files) const {
    for (const auto& [name, content] : files)
        server.writeFile(folder + "/" + name, content);
}

void Mailbox::putLocal(const std::string& folder, const Files& files) const {
    for (const auto& [name, content] : files)
        WriteFile(folder + "/" + name, content);
}

void Mailbox::withLogs(const std::function<void()>& f) {
    kv::OpenLogs(state);
    sysLogPath_ = state.logs.SysLogPath;
    transferLogPath_ = state.logs.TransferLogPath;
    try {
        f();
    } catch (...) {
        kv::CloseLogs(state);
        throw;
    }
    kv::CloseLogs(state);
}

void Mailbox::withFullLogs(const std::function<void()>& f) {
    int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    withLogs([&] {
        ::dup2(full, state.logs.sysFd);
        ::dup2(full, state.logs.transferFd);
        kv::ConnectSession(state, settings());
        f();
        kv::DisconnectSession(state);
    });
    ::close(full);
}

kv::CycleOutcome Mailbox::runCycle() {
    kv::CycleOutcome out;
    withLogs([&] { out = kv::RunAutoCycle(state, settings()); });
    return out;
}

namespace {
std::vector<std::string> Unstamped(const std::string& path) {
    std::vector<std::string> lines;
    if (path.empty() || !Exists(path))
        return lines;
    for (const auto& l : ReadCrLfLines(path))
        lines.push_back(WithoutStamp(l));
    return lines;
}
} // namespace

std::vector<std::string> Mailbox::sysLog() const {
    return Unstamped(sysLogPath_);
}
std::vector<std::string> Mailbox::records() const {
    return Unstamped(transferLogPath_);
}

std::vector<std::string> Mailbox::commands() const {
    std::vector<std::string> out;
    for (const auto& line : host.trace) {
        size_t p = line.find(": Sent: ");
        if (p == std::string::npos)
            continue;
        std::string cmd = line.substr(p + 8);
        size_t eol = cmd.find("<EOL>");
        if (eol != std::string::npos)
            cmd.erase(eol);
        out.push_back(cmd);
    }
    return out;
}

Files Mailbox::Read(const std::string& folder) {
    Files files;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file())
            files[it->path().filename().string()] = ReadFile(it->path().string());
    }
    return files;
}

namespace {
std::string BaseName(std::string name) {
    while (!name.empty() && name.back() == '!')
        name.pop_back();
    return name;
}
bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}
} // namespace

void ExpectReceiveLostNothing(const Mailbox& m, const Files& original,
                              const std::vector<std::string>& allowBoth,
                              const std::vector<std::string>& tmpLeftovers) {
    Files inbox = Mailbox::Read(m.inbox());
    Files remote = m.remote("out");
    for (const auto& [name, content] : original) {
        int copies = 0;
        for (const auto& [got, data] : inbox)
            if (BaseName(got) == name)
                ++copies;
        auto r = remote.find(name);
        bool onServer = r != remote.end();
        if (onServer) {
            EXPECT_EQ(r->second, content) << name << " changed on the server";
        }
        if (copies == 1 && onServer) {
            EXPECT_TRUE(Contains(allowBoth, name)) << name << " is in the inbox and on the server";
        } else {
            EXPECT_TRUE((copies == 1) != onServer)
                << name << ": " << copies << " inbox copies, on server: " << onServer;
        }
    }
    for (const auto& [got, data] : inbox) {
        auto o = original.find(BaseName(got));
        ASSERT_NE(o, original.end()) << "unexpected inbox file " << got;
        EXPECT_EQ(data, o->second) << "inbox file " << got << " is not complete";
    }
    for (const auto& e : FolderEntries(m.inbox()))
        EXPECT_NE(e[0], '.') << "hidden file left in the inbox: " << e;
    for (const auto& e : FolderEntries(m.tmp()))
        EXPECT_TRUE(Contains(tmpLeftovers, e)) << "file left in TMP: " << e;
}

void ExpectSendLostNothing(const Mailbox& m, const Files& original, const std::string& dest) {
    Files outbox = Mailbox::Read(m.outbox());
    Files sent = m.remote(dest);
    Files refused = Mailbox::Read(m.errors());
    for (const auto& [name, content] : original) {
        auto o = outbox.find(name);
        bool inOutbox = o != outbox.end();
        if (inOutbox) {
            EXPECT_EQ(o->second, content) << name << " changed in the outbox";
        }
        int onServer = 0;
        for (const auto& [got, data] : sent)
            if (BaseName(got) == name)
                ++onServer;
        bool inError = refused.count(name) != 0;
        EXPECT_EQ(int(inOutbox) + onServer + int(inError), 1)
            << name << ": outbox " << inOutbox << ", on server " << onServer << ", error folder "
            << inError;
    }
    for (const auto& [got, data] : sent) {
        auto o = original.find(BaseName(got));
        ASSERT_NE(o, original.end()) << "unexpected file on the server: " << got;
        EXPECT_EQ(data, o->second) << "server copy " << got << " is not complete";
    }
}

std::vector<std::string> Grep(const std::vector<std::string>& lines, const std::string& text) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.find(text) != std::string::npos)
            out.push_back(l);
    return out;
}

std::vector<std::string> From(const std::vector<std::string>& lines, const std::string& prefix) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0)
            return std::vector<std::string>(lines.begin() + static_cast<long>(i), lines.end());
    return {};
}

} // namespace kvtest
