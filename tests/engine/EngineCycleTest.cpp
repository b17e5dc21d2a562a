// Whole cycles against real servers: what the logs say, what the control
// connection carries, where every file ends up.
#include "EngineTestSupport.h"

#include "engine/Engine.h"
#include "engine/send/SendUpload.h"
#include "engine/session/ClientInfo.h"
#include "engine/session/Connection.h"
#include "ftp/FtpSession.h"
#include "logging/Logs.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv;
using namespace kvtest;
using Lines = std::vector<std::string>;

namespace {

const std::string kFlat = "00:INVOIC:X:Y:SEND01:RECV01:Z'\r\nLINE\r\n";
const std::string kOrder = "00:ORDERS:X:Y:SENDER1:RECV1:Z'\r\nLINE 2\r\n";

} // namespace

// One receive and one send against vsftpd with every kind of file: the exact
// system log, transfer log, boxes, and where each file went on both sides.
TEST(Cycle, VsftpdPassiveReceiveAndSend) {
    Mailbox m(SharedVsftpd());
    m.state.MessageBoxesAllowed = true;
    m.putRemote(
        "out",
        Files{{"a.edi", kEdifact}, {"b.xml", kXml}, {"c.txt", kFlat}, {"d e.txt", "plain text"}});
    m.server.makeDir("out/sub");
    m.putLocal(m.inbox(), Files{{"c.txt", "older"}, {"c.txt!", "older still"}});
    m.putRemote("in/ORDER1.TXT", "an older order");
    m.putRemote("in/EMPTY.TXT", "");
    const std::string premft = "00:PREMFT:V1:9:OLDSND:OLDRCV:T'\r\nITEM\r\n";
    const std::string edi = "UNA:+.? '\r\nUNB+UNOA:2+SENDER1:14+RECV2:14+060101:1200+1'\r\n\r\n"
                            "UNH+1+ORDERS:D:96A:UN'\r\n";
    m.putLocal(m.outbox(), Files{{"ORDER1.TXT", kOrder},
                                 {"EDI.EDI", edi},
                                 {"EMPTY.TXT", "00:ORDERS:X:Y:SENDER1:R:Z'\r\n"},
                                 {"FOREIGN.TXT", "00:ORDERS:X:Y:OTHER:RECV1:Z'\r\n"},
                                 {"LOWER.TXT", "00:ORDERS:X:Y:sender1:RECV1:Z'\r\n"},
                                 {"NOTYPE.TXT", "hello"},
                                 {"PREMFT.TXT", premft},
                                 {".hidden", "not for sending"},
                                 {"READONLY.TXT", kOrder}});
    ::chmod((m.outbox() + "/READONLY.TXT").c_str(), 0444);

    CycleOutcome outcome = m.runCycle();
    EXPECT_TRUE(outcome.Connected);
    EXPECT_EQ(m.state.FtpSession, nullptr);
    EXPECT_EQ(m.state.Counts.ReceivedFiles, 4);
    EXPECT_EQ(m.state.Counts.SentFiles, 5);
    EXPECT_GT(m.state.Counts.SentBytes, m.state.Counts.SentFiles);

    const std::string f01 = " Is Not Your File, Moved To Error Folder!";
    const std::string f02 = " Unknown File Type!";
    Lines expected = {"INFO:Connecting to 127.0.0.1.", "INFO:Connected.",
                      "INFO:Begin Receive......", "INFO:Now Receive From FTP Dir:out",
                      // One batch, but each file's lines together, in listing order.
                      "INFO:Start Download File->a.edi", "INFO:Success Download File->a.edi",
                      "INFO:Start Download File->b.xml", "INFO:Success Download File->b.xml",
                      "INFO:Start Download File->c.txt", "INFO:Success Download File->c.txt",
                      "INFO:Start Download File->d e.txt", "INFO:Success Download File->d e.txt",
                      "INFO:End Receive!", "INFO:Total Receive 4 Files!", "INFO:Begin Send......",
                      "INFO:Now Send To FTP Dir:in", "INFO:Start Upload File->EDI.EDI",
                      "INFO:Success Upload File->EDI.EDI", "INFO:Start Upload File->EMPTY.TXT",
                      "INFO:Success Upload File->EMPTY.TXT", "ERROR:FOREIGN.TXT" + f01,
                      "INFO:Start Upload File->LOWER.TXT", "INFO:Success Upload File->LOWER.TXT",
                      "ERROR:NOTYPE.TXT" + f02, "INFO:Start Upload File->ORDER1.TXT",
                      "INFO:Success Upload File->ORDER1.TXT", "INFO:Start Upload File->PREMFT.TXT",
                      "INFO:Success Upload File->PREMFT.TXT", "INFO:End Send!",
                      "INFO:Total Send 5 Files!", "INFO:Disconnecting from 127.0.0.1.",
                      "INFO:Disconnected.", "INFO:Not connected."};
    EXPECT_EQ(m.sysLog(), expected);
    Lines view;
    for (const auto& v : m.host.view)
        view.push_back(WithoutStamp(v));
    EXPECT_EQ(view, expected);
    Lines boxes;
    for (const auto& b : m.host.boxes)
        boxes.push_back(WithoutStamp(b));
    EXPECT_EQ(boxes, (Lines{"INFO:Total Receive 4 Files!", "ERROR:FOREIGN.TXT" + f01,
                            "ERROR:NOTYPE.TXT" + f02, "INFO:Total Send 5 Files!"}));

    const std::string joined = "UNA:+.? 'UNB+UNOA:2+SENDER1:14+RECV2:14+060101:1200+1'"
                               "UNH+1+ORDERS:D:96A:UN'";
    const std::string stamped = "00:PREMFT:V1:9:SENDER1:TOLMA:T'\r\nITEM\r\n";
    EXPECT_EQ(m.records(),
              (Lines{"Download File->a.edi FileSize:" + std::to_string(kEdifact.size()) +
                         " Sender:SENDA Receiver:RECVA Type:INVOIC(EDIFACT)",
                     "Download File->b.xml FileSize:" + std::to_string(kXml.size()) +
                         " Sender:SX Receiver:RX Type:CUSDEC(XML)",
                     "Download File->c.txt FileSize:" + std::to_string(kFlat.size()) +
                         " Sender:SEND01 Receiver:RECV01 Type:INVOIC(FLAT)",
                     "Download File->d e.txt FileSize:10 Sender:UNKNOWN Receiver:UNKNOWN "
                     "Type:UNKNOWN",
                     "Upload File->EDI.EDI FileSize:" + std::to_string(edi.size()) +
                         " Sender:SENDER1 Receiver:RECV2 Type:ORDERS(EDIFACT)",
                     "Upload File->EMPTY.TXT FileSize:28 Sender:SENDER1 Receiver:R "
                     "Type:ORDERS(FLAT)",
                     "Upload File->LOWER.TXT FileSize:32 Sender:SENDER1 Receiver:RECV1 "
                     "Type:ORDERS(FLAT)",
                     "Upload File->ORDER1.TXT FileSize:" + std::to_string(kOrder.size()) +
                         " Sender:SENDER1 Receiver:RECV1 Type:ORDERS(FLAT)",
                     "Upload File->PREMFT.TXT FileSize:" + std::to_string(premft.size()) +
                         " Sender:SENDER1 Receiver:TOLMA Type:PREMFT(FLAT)"}));

    // Receive side: nothing overwritten, the remote folder emptied of files.
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"a.edi", kEdifact},
                                               {"b.xml", kXml},
                                               {"c.txt", "older"},
                                               {"c.txt!", "older still"},
                                               {"c.txt!!", kFlat},
                                               {"d e.txt", "plain text"}}));
    EXPECT_TRUE(m.remote("out").empty());
    EXPECT_TRUE(FolderEntries(m.tmp()).empty());
    // Send side: "!" where a non-empty file was waiting, rewrites applied.
    const std::string lower = "00:ORDERS:X:Y:sender1:RECV1:Z'\r\n";
    EXPECT_EQ(m.remote("in"), (Files{{"ORDER1.TXT", "an older order"},
                                     {"LOWER.TXT", lower},
                                     {"ORDER1.TXT!", kOrder},
                                     {"EDI.EDI", joined},
                                     {"EMPTY.TXT", ""},
                                     {"EMPTY.TXT!", "00:ORDERS:X:Y:SENDER1:R:Z'\r\n"},
                                     {"PREMFT.TXT", stamped}}));
    EXPECT_TRUE(m.remote("tmp").empty());
    EXPECT_EQ(FolderEntries(m.outbox()), (Lines{".hidden", "READONLY.TXT"}));
    EXPECT_EQ(Mailbox::Read(m.errors()), (Files{{"FOREIGN.TXT", "00:ORDERS:X:Y:OTHER:RECV1:Z'\r\n"},
                                                {"NOTYPE.TXT", "hello"}}));
    EXPECT_EQ(Mailbox::Read(BackupFolderName(m.state, m.backup())),
              (Files{{"EDI.EDI", joined},
                     {"EMPTY.TXT", "00:ORDERS:X:Y:SENDER1:R:Z'\r\n"},
                     {"LOWER.TXT", lower},
                     {"ORDER1.TXT", kOrder},
                     {"PREMFT.TXT", stamped}}));
    EXPECT_EQ(m.restartFlag(), "");
    EXPECT_GT(m.host.keepAliveStarts, 0);
}

// The control connection of the documented example: ASCII configured, passive
// mode, destination "in", one file ORDER1.TXT.
TEST(Cycle, OrderExampleCommandSequence) {
    Mailbox m(SharedVsftpd());
    m.state.settings.TransferType = "ASCII";
    m.option("AllowReceive", "0");
    m.putLocal(m.outbox(), Files{{"ORDER1.TXT", kOrder}});
    m.runCycle();
    Lines cmds = m.commands();
    ASSERT_GE(cmds.size(), 4u);
    EXPECT_EQ(cmds[0], "user " + m.server.user());
    EXPECT_EQ(cmds[1].rfind("pass ", 0), 0u);
    EXPECT_EQ(Lines(cmds.begin() + 2, cmds.end()),
              (Lines{"type A", "syst", "PWD", "CWD in", "CWD /", "CWD tmp", "CDUP", "type I",
                     "SIZE tmp/ORDER1.TXT", "SIZE in/ORDER1.TXT", "type A", "PASV",
                     "STOR tmp/ORDER1.TXT", "RNFR tmp/ORDER1.TXT", "RNTO in/ORDER1.TXT"}));
    EXPECT_EQ(m.remote("in"), (Files{{"ORDER1.TXT", kOrder}}));
    // No password in clear anywhere the program writes.
    for (const auto& t : m.host.trace)
        EXPECT_EQ(t.find(m.server.password()), std::string::npos) << t;
    for (const auto& l : m.sysLog())
        EXPECT_EQ(l.find(m.server.password()), std::string::npos) << l;

    // Binary: no type switching around the size queries; ASCII receive: the
    // size and time are asked in binary, the download made in ASCII, and
    // before the delivery and again before the delete the file must still be
    // what was downloaded.
    Mailbox b(SharedVsftpd());
    b.option("AllowSend", "0");
    b.state.settings.TransferType = "Ascii";
    b.putRemote("out/r.txt", kFlat);
    b.runCycle();
    EXPECT_EQ(From(b.commands(), "list"),
              (Lines{"list out/*.*",   "PASV",           "list out",       "type I",
                     "SIZE out/r.txt", "MDTM out/r.txt", "type A",         "PASV",
                     "retr out/r.txt", "type I",         "SIZE out/r.txt", "MDTM out/r.txt",
                     "type A",         "type I",         "SIZE out/r.txt", "MDTM out/r.txt",
                     "type A",         "DELE out/r.txt", "PASV",           "list out/*.*"}));
    EXPECT_EQ(b.records(), (Lines{"Download File->r.txt FileSize:" + std::to_string(kFlat.size()) +
                                  " Sender:SEND01 Receiver:RECV01 Type:INVOIC(FLAT)"}));
}

namespace {

// One file each way through the given server and settings; checks that both
// arrived whole (as the transfer type delivers them) and the logs show success.
void OneFileEachWay(Mailbox& m, const std::string& remote = kFlat,
                    const std::string& arrived = kFlat, const std::string& local = kOrder,
                    const std::string& sent = kOrder) {
    m.putRemote("out/IN1.TXT", remote);
    m.putLocal(m.outbox(), Files{{"OUT1.TXT", local}});
    CycleOutcome outcome = m.runCycle();
    EXPECT_TRUE(outcome.Connected) << m.server.name();
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"IN1.TXT", arrived}})) << m.server.name();
    EXPECT_TRUE(m.remote("out").empty()) << m.server.name();
    EXPECT_EQ(m.remote("in"), (Files{{"OUT1.TXT", sent}})) << m.server.name();
    EXPECT_TRUE(FolderEntries(m.outbox()).empty()) << m.server.name();
    EXPECT_EQ(m.records(),
              (Lines{"Download File->IN1.TXT FileSize:" + std::to_string(remote.size()) +
                         " Sender:SEND01 Receiver:RECV01 Type:INVOIC(FLAT)",
                     "Upload File->OUT1.TXT FileSize:" + std::to_string(local.size()) +
                         " Sender:SENDER1 Receiver:RECV1 Type:ORDERS(FLAT)"}))
        << m.server.name();
    EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty()) << m.server.name();
}

} // namespace

TEST(Cycle, ActiveModeOnVsftpd) {
    Mailbox m(SharedVsftpd(), false);
    OneFileEachWay(m);
    Lines cmds = m.commands();
    EXPECT_TRUE(Grep(cmds, "PASV").empty());
    // list of the pattern and of the folder, retr, list, STOR
    EXPECT_EQ(Grep(cmds, "PORT 127,0,0,1,").size(), 5u);
}

// pure-ftpd names listed files "out/x" and converts line ends in ASCII mode
// (a download may grow, never shrink); proftpd refuses SIZE in ASCII mode,
// which the cycles never ask there.
TEST(Cycle, PureFtpdAndProftpdInAsciiMode) {
    {
        Mailbox m(SharedPureFtpd());
        m.state.settings.TransferType = "ascii";
        OneFileEachWay(m, "00:INVOIC:X:Y:SEND01:RECV01:Z'\nL2\n",
                       "00:INVOIC:X:Y:SEND01:RECV01:Z'\r\nL2\r\n", kOrder,
                       "00:ORDERS:X:Y:SENDER1:RECV1:Z'\nLINE 2\n");
    }
    {
        Mailbox m(SharedProftpd(), false);
        m.state.settings.TransferType = "ascii";
        OneFileEachWay(m, kFlat, kFlat, kOrder, "00:ORDERS:X:Y:SENDER1:RECV1:Z'\nLINE 2\n");
    }
}

TEST(Cycle, ThroughSocks5ProxyWithPassword) {
    Mailbox m(SharedVsftpd());
    MicrosocksProxy& proxy = SharedMicrosocks();
    Settings& s = m.state.settings;
    s.ProxyType = 3;
    s.ProxyAuthentication = 1;
    s.ProxyHost = proxy.host();
    s.ProxyPort = proxy.port();
    s.ProxyUserID = proxy.user();
    s.ProxyPassword = proxy.password();
    OneFileEachWay(m);
}

// The main pair, then pairs 1 to 9 in number order; a pair needs both folders.
TEST(Cycle, FolderPairsOneToNine) {
    Mailbox m(SharedVsftpd());
    for (const char* f : {"out3", "out9", "in3", "in9", "out5"})
        m.server.makeDir(f);
    for (const char* f : {"INBOX3", "INBOX9", "OUTBOX3", "OUTBOX9", "OUTBOX5", "INBOX5"})
        ::mkdir(m.path(f).c_str(), 0755);
    m.option("RemoteOutPath9", "out9");
    m.option("LocalInPath9", m.path("INBOX9"));
    m.option("RemoteOutPath3", "out3");
    m.option("LocalInPath3", m.path("INBOX3"));
    m.option("RemoteOutPath5", "out5");           // no inbox: skipped
    m.option("LocalOutPath9", m.path("OUTBOX9")); // no remote folder: skipped
    m.option("LocalOutPath3", m.path("OUTBOX3"));
    m.option("RemoteInPath3", "in3");
    m.option("LocalInPath5", "");
    m.putRemote("out/m.txt", "main");
    m.putRemote("out3/three.txt", "three");
    m.putRemote("out9/nine.txt", "nine");
    m.putRemote("out5/five.txt", "five");
    m.state.settings.FileSender = "CUSTOM"; // privileged: the content is not checked
    m.putLocal(m.outbox(), Files{{"m.txt", "main out"}});
    m.putLocal(m.path("OUTBOX3"), Files{{"t.txt", "three out"}});
    m.putLocal(m.path("OUTBOX9"), Files{{"n.txt", "nine out"}});
    m.runCycle();
    EXPECT_EQ(Grep(m.sysLog(), "Now "),
              (Lines{"INFO:Now Receive From FTP Dir:out", "INFO:Now Receive From FTP Dir:out3",
                     "INFO:Now Receive From FTP Dir:out9", "INFO:Now Send To FTP Dir:in",
                     "INFO:Now Send To FTP Dir:in3"}));
    EXPECT_EQ(Grep(m.sysLog(), "End "),
              (Lines{"INFO:End Receive!", "INFO:End Receive!", "INFO:End Receive!",
                     "INFO:End Send!", "INFO:End Send!"}));
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"m.txt", "main"}}));
    EXPECT_EQ(Mailbox::Read(m.path("INBOX3")), (Files{{"three.txt", "three"}}));
    EXPECT_EQ(Mailbox::Read(m.path("INBOX9")), (Files{{"nine.txt", "nine"}}));
    EXPECT_EQ(m.remote("out5"), (Files{{"five.txt", "five"}}));
    EXPECT_EQ(m.remote("in"), (Files{{"m.txt", "main out"}}));
    EXPECT_EQ(m.remote("in3"), (Files{{"t.txt", "three out"}}));
    EXPECT_EQ(Mailbox::Read(m.path("OUTBOX9")), (Files{{"n.txt", "nine out"}}));
    EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty());
}

TEST(Cycle, EmptyAndMissingRemoteFolders) {
    Mailbox m(SharedVsftpd());
    m.option("RemoteOutPath1", "nope");
    m.option("LocalInPath1", m.inbox());
    m.option("AllowSend", "0");
    m.runCycle();
    EXPECT_EQ(
        From(m.sysLog(), "INFO:Begin Receive"),
        (Lines{"INFO:Begin Receive......", "INFO:Now Receive From FTP Dir:out", "INFO:End Receive!",
               "INFO:Now Receive From FTP Dir:nope", "ERROR:RemoteOutPath->nope Not Exist!!!",
               "INFO:Disconnecting from 127.0.0.1.", "INFO:Disconnected.", "INFO:Not connected."}));

    // A missing destination or "tmp" folder ends that pair's send.
    Mailbox s(SharedVsftpd());
    s.option("AllowReceive", "0");
    s.option("RemoteInPath", "nowhere");
    s.putLocal(s.outbox(), Files{{"OUT1.TXT", kOrder}});
    s.runCycle();
    EXPECT_EQ(Grep(s.sysLog(), "ERROR"), (Lines{"ERROR:RemoteInPath->nowhere Not Exist!!!"}));
    EXPECT_TRUE(Grep(s.sysLog(), "End Send").empty());
    std::filesystem::remove_all(s.server.path("tmp"));
    s.option("RemoteInPath", "in");
    s.runCycle();
    EXPECT_EQ(Grep(s.sysLog(), "ERROR").back(), "ERROR:RemoteTempPath Not Exist!!!");
    ExpectSendLostNothing(s, Files{{"OUT1.TXT", kOrder}});
}

// CNC102 pass: headerless files are stamped and sent to RemoteExPath (or
// "in"), counted with the normal pass; an empty LocalExPath is refused.
TEST(Cycle, Cnc102Pass) {
    Mailbox m(SharedVsftpd());
    ::mkdir(m.path("EX").c_str(), 0755);
    m.option("AllowReceive", "0");
    m.option("CNC102", "1");
    m.option("LocalExPath", m.path("EX"));
    m.putLocal(m.path("EX"), Files{{"c1.txt", "A\r\n\r\nB\r\n"}, {"c2.txt", kFlat}});
    m.putLocal(m.outbox(), Files{{"OUT1.TXT", kOrder}});
    m.runCycle();
    Lines log = From(m.sysLog(), "INFO:Begin Send");
    ASSERT_EQ(log.size(), 14u);
    EXPECT_EQ(log[2], "INFO:Start Upload File->c1.txt");
    EXPECT_EQ(log[3], "INFO:File->" + m.path("EX/c1.txt") + " Add File Head Successfully!");
    EXPECT_EQ(
        Lines(log.begin() + 4, log.end()),
        (Lines{"INFO:Success Upload File->c1.txt", "INFO:Start Upload File->c2.txt",
               "INFO:Success Upload File->c2.txt", "INFO:Start Upload File->OUT1.TXT",
               "INFO:Success Upload File->OUT1.TXT", "INFO:End Send!", "INFO:Total Send 3 Files!",
               "INFO:Disconnecting from 127.0.0.1.", "INFO:Disconnected.", "INFO:Not connected."}));
    Files in = m.remote("in");
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in["c1.txt"].rfind("00:CNC102:CNC102:9:SENDER1:CUSTOM:", 0), 0u);
    EXPECT_NE(in["c1.txt"].find("A\r\nB\r\n99:4'\r\n"), std::string::npos);
    EXPECT_EQ(in["c2.txt"], kFlat);
    EXPECT_EQ(m.records()[0], "Upload File->c1.txt FileSize:8 Sender:SENDER1 Receiver:CUSTOM "
                              "Type:CNC102(FLAT)");
    EXPECT_TRUE(FolderEntries(m.path("EX")).empty());
    // Without dated sub-folder in this pass.
    EXPECT_EQ(FolderEntries(m.backup()).size(), 3u);

    // An empty LocalExPath never lists another folder.
    Mailbox e(SharedVsftpd());
    e.option("AllowReceive", "0");
    e.option("CNC102", "1");
    e.option("LocalExPath", "");
    e.putLocal(e.outbox(), Files{{"OUT1.TXT", kOrder}});
    e.runCycle();
    EXPECT_EQ(Grep(e.sysLog(), "CNC102"),
              (Lines{"ERROR:CNC102 Send Refused: LocalExPath Is Empty!!!"}));
    EXPECT_EQ(e.remote("in"), (Files{{"OUT1.TXT", kOrder}}));
}

// Hooks run after each receive pair (after the second listing) and before each
// send pair.
TEST(Cycle, HooksAroundThePasses) {
    Mailbox m(SharedVsftpd());
    const std::string marks = m.path("marks.txt");
    const std::string script = m.path("hook.sh");
    WriteFile(script, "#!/bin/sh\necho \"$1\" >> " + marks + "\n");
    ::chmod(script.c_str(), 0755);
    m.option("RunAfter", "1");
    m.option("ProgramRunAfter", script);
    m.option("ParameterRunAfter", "after");
    m.option("ExclusiveRunAfter", "1");
    m.option("RunBefore", "1");
    m.option("ProgramRunBefore", script);
    m.option("ParameterRunBefore", "before");
    m.option("ExclusiveRunBefore", "1");
    m.option("RemoteOutPath2", "out");
    m.option("LocalInPath2", m.inbox());
    m.option("TimeInterval", "5");
    m.runCycle();
    EXPECT_EQ(ReadFile(marks), "after\nafter\nbefore\n");
    Lines log = m.sysLog();
    EXPECT_EQ(
        From(log, "INFO:Now Receive"),
        (Lines{"INFO:Now Receive From FTP Dir:out", "INFO:Run Program " + script,
               "INFO:End Receive!", "INFO:Now Receive From FTP Dir:out",
               "INFO:Run Program " + script, "INFO:End Receive!", "INFO:Begin Send......",
               "INFO:Now Send To FTP Dir:in", "INFO:Run Program " + script, "INFO:End Send!",
               "INFO:Disconnecting from 127.0.0.1.", "INFO:Disconnected.", "INFO:Not connected."}));
}
