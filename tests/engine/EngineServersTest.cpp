// One receive-and-send cycle against every FTP server a centre may run, as
// each comes (nothing patched): stock pyftpdlib (no wildcard expansion, no
// SIZE in ASCII type, MLSD), vsftpd (LIST only), pure-ftpd and proftpd
// (MLSD), with names that need care. Each must receive and send the same
// files with the same log lines and records, over FTP and, where the server
// offers it, explicit FTPS.
#include "EngineTestSupport.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

using namespace kv;
using namespace kvtest;
using Lines = std::vector<std::string>;

namespace {

// "größe.xml" and "ÄRDER.TXT" in UTF-8.
const std::string kUtf8Name = "gr\xc3\xb6\xc3\x9f"
                              "e.xml";
const std::string kUtf8Send = "\xc3\x84"
                              "RDER.TXT";

Lines Sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

struct ServerCase {
    const char* name;
    std::function<FtpServer&()> server;
    bool needsRoot;
    Lines listings; // the listing commands of the cycle's first listing
    bool passive = true;
    bool ftps = false; // explicit FTPS, the server requiring it
};

} // namespace

TEST(Servers, SameCycleOnEveryStockServer) {
    const Lines mlsd = {"MLSD out"};
    // vsftpd, proftpd and pure-ftpd expand the pattern; pyftpdlib refuses it
    // and its plain listing, filtered, stands in.
    const Lines list = {"list out/*.*", "list out"};
    const std::vector<ServerCase> cases = {
        {"pyftpdlib (stock)", []() -> FtpServer& { return SharedStockPyFtpd(); }, false, mlsd},
        {"pyftpdlib (stock), no MLSD, active",
         []() -> FtpServer& { return SharedStockPyFtpdWithoutMlsd(); }, false, list, false},
        {"pyftpdlib (stock), no MLSD",
         []() -> FtpServer& { return SharedStockPyFtpdWithoutMlsd(); }, false, list},
        {"vsftpd", []() -> FtpServer& { return SharedVsftpd(); }, true, list},
        {"pure-ftpd", []() -> FtpServer& { return SharedPureFtpd(); }, true, mlsd},
        {"proftpd", []() -> FtpServer& { return SharedProftpd(); }, true, mlsd},
        {"vsftpd, FTPS", []() -> FtpServer& { return SharedVsftpsd(); }, true, list, true, true},
        {"pure-ftpd, FTPS", []() -> FtpServer& { return SharedPureFtpsd(); }, true, mlsd, true,
         true},
    };
    const Files remote = {{"a.edi", kEdifact},
                          {" lead.txt", kHead},
                          {"trail.txt ", kHead},
                          {kUtf8Name, kXml},
                          {"NODOT", "no dot in this name"}};
    const Files outbox = {{"ORDER1.TXT", kOwn}, {kUtf8Send, kOwn}};
    Lines expectedLog = {"INFO:Connecting to 127.0.0.1.",
                         "INFO:Connected.",
                         "INFO:Begin Receive......",
                         "INFO:Now Receive From FTP Dir:out",
                         "INFO:End Receive!",
                         "INFO:Total Receive 5 Files!",
                         "INFO:Begin Send......",
                         "INFO:Now Send To FTP Dir:in",
                         "INFO:End Send!",
                         "INFO:Total Send 2 Files!",
                         "INFO:Disconnecting from 127.0.0.1.",
                         "INFO:Disconnected.",
                         "INFO:Not connected."};
    Lines expectedRecords;
    for (const auto& [name, content] : remote) {
        expectedLog.push_back("INFO:Start Download File->" + name);
        expectedLog.push_back("INFO:Success Download File->" + name);
    }
    for (const auto& [name, content] : outbox) {
        expectedLog.push_back("INFO:Start Upload File->" + name);
        expectedLog.push_back("INFO:Success Upload File->" + name);
    }
    for (const ServerCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && !RunningAsRoot()) {
            ADD_FAILURE() << c.name << " needs root to start; run the tests as root";
            continue;
        }
        Mailbox m(c.server(), c.passive);
        if (c.ftps) {
            m.state.settings.FTPS = true;
            m.state.settings.FTPSCAFile = SharedCertificate().certFile;
        }
        m.putRemote("out", remote);
        m.server.makeDir("out/sub");
        m.putRemote("out/sub/deeper.edi", kEdifact);
        m.putLocal(m.outbox(), outbox);
        // A hidden name (a centre's upload in progress) is left alone by
        // MLSD and by vsftpd's LIST; pyftpdlib's LIST shows it.
        const bool hiddenListed =
            c.listings == list && std::string(c.name).rfind("pyftpdlib", 0) == 0;
        m.putRemote("out/.part.edi", kEdifact);

        CycleOutcome outcome = m.runCycle();
        EXPECT_TRUE(outcome.Connected);
        Lines listings;
        for (const std::string& cmd : m.commands())
            if (cmd.rfind("list ", 0) == 0 || cmd.rfind("MLSD ", 0) == 0)
                listings.push_back(cmd);
        ASSERT_GE(listings.size(), c.listings.size());
        listings.resize(c.listings.size());
        EXPECT_EQ(listings, c.listings);
        Lines log = expectedLog;
        Files received = remote;
        if (hiddenListed) {
            log.push_back("INFO:Start Download File->.part.edi");
            log.push_back("INFO:Success Download File->.part.edi");
            std::replace(log.begin(), log.end(), std::string("INFO:Total Receive 5 Files!"),
                         std::string("INFO:Total Receive 6 Files!"));
            received[".part.edi"] = kEdifact;
        }
        EXPECT_EQ(Sorted(m.sysLog()), Sorted(log));
        // Names exactly as the server has them, blanks and UTF-8 bytes alike.
        EXPECT_EQ(Mailbox::Read(m.inbox()), received);
        EXPECT_EQ(m.remote("out"), hiddenListed ? Files{} : (Files{{".part.edi", kEdifact}}));
        EXPECT_EQ(m.remote("out/sub"), (Files{{"deeper.edi", kEdifact}}));
        EXPECT_EQ(m.remote("in"), outbox);
        EXPECT_TRUE(m.remote("tmp").empty());
        EXPECT_TRUE(FolderEntries(m.tmp()).empty());
        EXPECT_EQ(m.records().size(), received.size() + outbox.size());
        EXPECT_EQ(m.restartFlag(), "");

        // The next cycle finds nothing left and says so the same way.
        m.runCycle();
        EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty());
    }
}
