#pragma once
// Helpers of the engine tests: folder listings, a mailbox wired to a real
// server, and the checks that nothing was lost.
#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "config/IniFile.h"
#include "engine/AutoCycle.h"
#include "support/Mounts.h"
#include "support/Servers.h"
#include "support/TestSupport.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kvtest {

// A flat-header file of a partner (SEND01 to RECV01), and one of our own
// sender (SENDER1, the test settings' FileSender).
inline const std::string kHead = "00:INVOIC:X:Y:SEND01:RECV01:Z'\r\n";
inline const std::string kOwn = "00:ORDERS:X:Y:SENDER1:RECV1:Z'\r\n";
// A one-line interchange and an XML document of another party.
inline const std::string kEdifact =
    "UNB+UNOA:2+senda:14+RECVA:14+060101:1200+1'UNH+1+INVOIC:D:96A:UN'UNT+2+1'UNZ+1+1'";
inline const std::string kXml = "<?xml version=\"1.0\"?>\n<Doc>\n<SenderID>sx</SenderID>"
                                "<ReceiverID>rx</ReceiverID><MessageType>cusdec</MessageType>\n"
                                "</Doc>\n";

// Entry names of a folder (hidden ones included), sorted.
std::vector<std::string> FolderEntries(const std::string& folder);

// ---------------------------------------------------------------------------
// End-to-end pieces: a mailbox (program folder, settings, local folders) wired
// to one of the real servers, and the checks that nothing was lost.

// The scripted pyftpdlib server with the engine's faults (engine/fault_ftpd.py).
class FaultFtpServer : public PyFtpdServer {
public:
    FaultFtpServer();
};
FaultFtpServer& SharedFaultFtpd();

// A host that records everything and lets a test act inside the engine's
// events (abort a transfer, disconnect during a wait).
class EngineHost : public RecordingHost {
public:
    std::function<void(kv::WorkDirection, int64_t)> onWork;
    std::function<void()> onPump;
    int keepAliveStarts = 0;
    int keepAliveStops = 0;
    int64_t announced = 0; // size announced by the last work begin
    void FtpWorkBegin(kv::WorkDirection, int64_t size) override { announced = size; }
    void ProcessPendingEvents() override {
        RecordingHost::ProcessPendingEvents();
        if (onPump)
            onPump();
    }
    void FtpWork(kv::WorkDirection dir, int64_t total) override {
        if (onWork)
            onWork(dir, total);
    }
    void StartKeepAlive() override { ++keepAliveStarts; }
    void StopKeepAlive() override { ++keepAliveStops; }
};

using Files = std::map<std::string, std::string>; // name -> content

class Mailbox {
public:
    // Empties the server's root and creates "out", "in" and "tmp" there.
    explicit Mailbox(FtpServer& server, bool passive = true);
    ~Mailbox();
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    TempDir dir;
    EngineHost host;
    kv::AppState state;
    FtpServer& server;
    kv::IniFile ini;

    std::string path(const std::string& name) const { return dir / name; }
    std::string inbox() const { return dir / "INBOX"; }
    std::string outbox() const { return dir / "OUTBOX"; }
    std::string errors() const { return dir / "ERROR"; }
    std::string backup() const { return dir / "BACKUP"; }
    std::string tmp() const { return dir / "TMP"; }
    void option(const std::string& key, const std::string& value) {
        ini.WriteString("Options", key, value);
    }
    // What a cycle started now would take from the settings file.
    kv::CycleSettings settings() const { return kv::ReadCycleSettings(state); }

    void putRemote(const std::string& relative, const std::string& content) const {
        server.writeFile(relative, content);
    }
    void putRemote(const std::string& folder, const Files& files) const;
    void putLocal(const std::string& folder, const Files& files) const;

    // One automatic cycle inside a log bracket.
    kv::CycleOutcome runCycle();
    // Runs f inside a log bracket.
    void withLogs(const std::function<void()>& f);
    // Connects, runs f and disconnects inside a log bracket whose two logs
    // fail every write (a full disk).
    void withFullLogs(const std::function<void()>& f);

    // System-log lines and transfer-log records, time stamps removed.
    std::vector<std::string> sysLog() const;
    std::vector<std::string> records() const;
    // Commands sent on the control connection, in order (from the trace).
    std::vector<std::string> commands() const;
    // Name -> content of the regular files of a local folder or a server folder.
    static Files Read(const std::string& folder);
    Files remote(const std::string& folder) const { return Read(server.path(folder)); }
    std::string restartFlag() const { return ini.ReadString("KVTray", "MustReBoot"); }

private:
    std::string sysLogPath_, transferLogPath_;
};

// Every file first on the server (remote folder "out") is either in the
// inbox exactly once, complete, or still on the server, unchanged (both when
// allowBoth names it: a remote delete that failed). The inbox holds nothing
// else, and "TMP" holds no file but those in tmpLeftovers.
void ExpectReceiveLostNothing(const Mailbox& m, const Files& original,
                              const std::vector<std::string>& allowBoth = {},
                              const std::vector<std::string>& tmpLeftovers = {});
// Every file first in the outbox is either still there unchanged, or once,
// complete, in the remote destination, or in the error folder; the
// destination holds nothing else.
void ExpectSendLostNothing(const Mailbox& m, const Files& original, const std::string& dest = "in");

// Lines that contain text.
std::vector<std::string> Grep(const std::vector<std::string>& lines, const std::string& text);
// The lines from the first one that starts with prefix (none when none does).
std::vector<std::string> From(const std::vector<std::string>& lines, const std::string& prefix);

} // namespace kvtest
