// The session against pyftpdlib scripted to answer oddly or to misbehave:
// exact wire sequences, reply codes, time-outs, dropped connections, limits,
// Abort, and re-entry through the idle pump.
#include "ftp/FtpReply.h"
#include "ftp/FtpTestUtil.h"
#include "ftp/NetSocket.h"
#include "remote/RemoteErrors.h"
#include "util/Errors.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <regex>

using namespace kv;
using namespace kvtest;

namespace {

class Scripted : public ScriptedServerTest<SharedPyFtpd> {
protected:
    std::shared_ptr<FtpSession> Open(bool passive = true) {
        auto s = MakeSession(*server, host, passive);
        s->Connect();
        server->clearWireLog();
        return s;
    }
    bool Sent(const std::string& line) const {
        auto w = server->wireLog();
        return std::find(w.begin(), w.end(), line) != w.end();
    }
};

} // namespace

TEST_F(Scripted, LoginPutsExactBytesOnTheWireAndMasksThePassword) {
    auto s = MakeSession(*server, host);
    s->Type = TransferType::Ascii;
    s->Connect();
    EXPECT_TRUE(s->Connected());
    EXPECT_EQ(server->wireLog(),
              (std::vector<std::string>{"user kvuser", "pass Kv-test-pass4", "type A", "syst"}));
    auto t = host.traceTexts();
    ASSERT_GE(t.size(), 9u);
    EXPECT_EQ(t[0], "Connected.");
    EXPECT_EQ(t[1], "Recv: 220 scripted server ready.<EOL>");
    EXPECT_EQ(t[2], "Sent: user kvuser<EOL>");
    EXPECT_EQ(t[4], "Sent: pass ********<EOL>");
    EXPECT_EQ(t[6], "Sent: type A<EOL>");
    EXPECT_EQ(t[8], "Sent: syst<EOL>");
    for (const auto& line : host.trace) {
        EXPECT_EQ(line.find(server->password()), std::string::npos) << line;
        // The locale's date and time (C locale here), ": ", the event.
        EXPECT_TRUE(std::regex_search(line, std::regex(R"(^\S+ \d\d:\d\d:\d\d: )"))) << line;
    }
    EXPECT_EQ(host.status, (std::vector<std::string>{"Connecting to 127.0.0.1.", "Connected."}));

    s->Disconnect();
    EXPECT_FALSE(s->Connected());
    EXPECT_EQ(host.disconnected, 1);
    EXPECT_EQ(host.traceTexts().back(), "Disconnected.");
    EXPECT_EQ(host.status.back(), "Not connected.");
    EXPECT_EQ(host.status[host.status.size() - 2], "Disconnecting from 127.0.0.1.");
    // No QUIT: the socket is simply closed.
    EXPECT_EQ(server->wireLog().size(), 4u);
}

TEST_F(Scripted, HostNamesAreResolvedWithAStatusAndTracingCanBeOff) {
    auto s = MakeSession(*server, host);
    s->Host = "localhost";
    s->SetTraceEnabled(false);
    s->Connect();
    ASSERT_GE(host.status.size(), 2u);
    EXPECT_EQ(host.status[0], "Resolving hostname localhost.");
    EXPECT_EQ(host.status[1], "Connecting to 127.0.0.1.");
    EXPECT_TRUE(host.trace.empty());
}

TEST_F(Scripted, GreetingOtherThan220FailsWithTheLineAndLeavesNoConnection) {
    server->setScenario("greeting\t421 Too many users\nclose-after-greeting\n");
    auto s = MakeSession(*server, host);
    Caught e = CaughtError<ProtocolReplyError>([&] { s->Connect(); });
    EXPECT_EQ(e.what, "421 Too many users");
    EXPECT_EQ(e.code, 421);
    EXPECT_FALSE(s->Connected());
    EXPECT_EQ(host.disconnected, 1);
}

TEST_F(Scripted, UserAnswered230LogsInWithoutPass) {
    server->setScenario("login-on-user\n");
    auto s = MakeSession(*server, host);
    s->Connect();
    EXPECT_EQ(server->wireLog(), (std::vector<std::string>{"user kvuser", "type I", "syst"}));
}

TEST_F(Scripted, MultiLineRepliesEndOnlyAtTheirUnpaddedCode) {
    server->setScenario("rewrite\t230\t230-Welcome\\r\\n230-Line two\\r\\n150 foreign digits\\r\\n"
                        " 230x indented\\r\\n  230 padded\\r\\n230 Done\n"
                        "rewrite\t250\t250-Deleted\\r\\nok\\r\\n250 done\n");
    server->writeFile("gone.txt", "x");
    server->writeFile("44.txt", std::string(44, 'x'));
    auto s = MakeSession(*server, host);
    s->Connect();
    // Still in step: each command reads its own reply.
    EXPECT_EQ(s->LastReplyCode(), 215);
    s->Delete("gone.txt");
    EXPECT_EQ(s->Size("44.txt"), 44);
    s->Noop();
    EXPECT_EQ(s->LastReplyCode(), 200);
}

TEST_F(Scripted, OddReplyCodes) {
    server->setScenario("reply\tNOOP\t+OK fine\nreply\tCDUP\t-ERR bad\nreply\tCWD\tabc letters\n"
                        "reply\tPWD\t257 \"/a dir\" is the current directory\n");
    auto s = Open();
    Caught e = CaughtError<ProtocolReplyError>([&] { s->Noop(); });
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.what, "+OK fine");
    EXPECT_EQ(CaughtError<ProtocolReplyError>([&] { s->ChangeDirUp(); }).code, 0);
    EXPECT_EQ(ErrorOf<ProtocolReplyError>([&] { s->ChangeDir("x"); }), "abc letters");
    // A reply error leaves the session connected and in step.
    EXPECT_TRUE(s->Connected());
    EXPECT_EQ(s->RetrieveCurrentDir(), "/a dir");
    EXPECT_EQ(server->wireLog(), (std::vector<std::string>{"NOOP", "CDUP", "CWD x", "PWD"}));
}

TEST_F(Scripted, CdupAnswered200FailsAndPwdWithoutQuotesIsEmpty) {
    server->setScenario("reply\tCDUP\t200 OK\nreply\tPWD\t257 /plain\n");
    auto s = Open();
    Caught e = CaughtError<ProtocolReplyError>([&] { s->ChangeDirUp(); });
    EXPECT_EQ(e.code, 200);
    EXPECT_EQ(e.what, "200 OK");
    EXPECT_EQ(s->RetrieveCurrentDir(), "");
}

TEST_F(Scripted, PasvWithoutBracketsOrNamingAnotherHost) {
    server->writeFile("p.txt", "pasv data");
    for (const char* form : {"nobrackets", "otherhost"}) {
        server->setScenario(std::string("pasv\t") + form + "\n");
        host.trace.clear();
        auto s = Open();
        std::vector<std::string> lines;
        s->List(lines, "", false);
        EXPECT_NE(std::find(lines.begin(), lines.end(), "p.txt"), lines.end()) << form;
        GetResult r = s->Get("p.txt", local / "p.txt", true);
        EXPECT_TRUE(r.Complete);
        EXPECT_EQ(ReadFile(local / "p.txt"), "pasv data");
        // The trace shows the reply as received, whatever address it named.
        auto t = host.traceTexts();
        const std::string shown = std::string(form) == "nobrackets" ? "Recv: 227 =127,0,0,1,"
                                                                    : "Recv: 227 Entering passive "
                                                                      "mode (10,255,255,1,";
        EXPECT_TRUE(std::any_of(t.begin(), t.end(), [&](const std::string& l) {
            return l.rfind(shown, 0) == 0;
        })) << form;
    }
}

TEST_F(Scripted, SizeOfMissingAndEmptyFiles) {
    server->writeFile("empty.txt", "");
    server->writeFile("seven.txt", "1234567");
    auto s = Open();
    EXPECT_EQ(s->Size("missing.txt"), -1);
    EXPECT_EQ(s->LastReplyCode(), 550);
    EXPECT_EQ(s->Size("empty.txt"), 0);
    EXPECT_EQ(s->Size("seven.txt"), 7);
    server->setScenario("reply\tSIZE\t550 not here\n");
    auto t = Open();
    EXPECT_EQ(t->Size("seven.txt"), -1);
    EXPECT_EQ(server->wireLog().back(), "SIZE seven.txt");
}

TEST_F(Scripted, ListCommandsAreTrimmedAndSplitIntoLines) {
    server->makeDir("ls");
    server->writeFile("ls/one.txt", "1");
    server->writeFile("ls/two.txt", "22");
    auto s = Open();
    std::vector<std::string> lines{"stale"};
    s->ChangeDir("ls");
    s->List(lines, "", true);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("one.txt"), std::string::npos);
    s->List(lines, "", false);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"one.txt", "two.txt"}));
    s->ChangeDirUp();
    s->List(lines, "ls", false);
    EXPECT_EQ(lines.size(), 2u);
    auto w = server->wireLog();
    EXPECT_TRUE(Sent("list"));
    EXPECT_TRUE(Sent("nlst"));
    EXPECT_TRUE(Sent("nlst ls"));
    EXPECT_TRUE(Sent("CDUP"));
    EXPECT_TRUE(Sent("CWD ls"));
}

TEST_F(Scripted, ServerEnding426Then226IsAnIncompleteDownload) {
    server->writeFile("big.bin", Pattern(200000));
    server->setScenario("retr-limit\t1000\nrewrite\t226 Transfer complete\t"
                        "426 Connection closed; transfer aborted.\\r\\n226 Closing data "
                        "connection.\n");
    auto s = Open();
    GetResult r = s->Get("big.bin", local / "big.bin", false);
    EXPECT_FALSE(r.Complete);
    EXPECT_EQ(r.Bytes, 1000);
    EXPECT_EQ(ReadFile(local / "big.bin"), Pattern(200000).substr(0, 1000));
    EXPECT_EQ(s->LastReplyCode(), 426);
    // Both replies were consumed: the next command reads its own.
    EXPECT_EQ(s->Size("big.bin"), 200000);
    EXPECT_TRUE(s->Connected());
}

TEST_F(Scripted, ServerEndingWith426AloneDoesNotHang) {
    server->writeFile("big.bin", Pattern(200000));
    server->setScenario("retr-limit\t5000\nrewrite\t226 Transfer complete\t426 Failure.\n");
    auto s = Open();
    s->NetTimeOut = 5;
    GetResult r = s->Get("big.bin", local / "b", false);
    EXPECT_FALSE(r.Complete);
    EXPECT_EQ(r.Bytes, 5000);
    s->Noop();
}

TEST_F(Scripted, FinalRefusalOfATransferIsItsLastReplyAndOwesNothing) {
    server->setScenario("rewrite\t226 Transfer complete\t452 Disk full.\n");
    WriteFile(local / "up.bin", Pattern(70000));
    auto s = Open();
    EXPECT_EQ(ErrorOf<ProtocolReplyError>([&] { s->Put(local / "up.bin", "up.bin"); }),
              "452 Disk full.");
    EXPECT_EQ(s->LastReplyCode(), 452);
    EXPECT_FALSE(Sent("ABOR"));
    EXPECT_FALSE(Sent("PWD"));
    EXPECT_TRUE(s->Connected());
    EXPECT_EQ(s->RetrieveCurrentDir(), "/");
}

TEST_F(Scripted, AborAnswered200StillLeavesTheSessionInStep) {
    const std::string content = Pattern(4 << 20, 5);
    server->writeFile("abor.bin", content);
    server->writeFile("five.txt", "12345");
    server->setScenario("throttle\t1000000\nrewrite\t226 ABOR\t200 ABOR done.\n"
                        "rewrite\t225 ABOR\t200 ABOR done.\n");
    auto s = Open();
    host.onWork = [&](WorkDirection, int64_t) { s->Abort(); };
    GetResult r = s->Get("abor.bin", local / "abor.bin", true);
    host.onWork = nullptr;
    EXPECT_FALSE(r.Complete);
    EXPECT_TRUE(Sent("ABOR"));
    EXPECT_EQ(s->LastReplyCode(), 426);
    EXPECT_EQ(s->Size("five.txt"), 5);
    EXPECT_EQ(s->RetrieveCurrentDir(), "/");
}

TEST_F(Scripted, ActiveModeTakesDataOnlyFromTheServersAddress) {
    server->writeFile("a.txt", "the server's bytes");
    server->setScenario("port-intruder\n");
    auto s = Open(false);
    GetResult r = s->Get("a.txt", local / "a.txt", true);
    EXPECT_TRUE(r.Complete);
    EXPECT_EQ(ReadFile(local / "a.txt"), "the server's bytes");
}

TEST_F(Scripted, UploadEndedWith426IsAFailure) {
    server->setScenario("rewrite\t226 Transfer complete\t426 Disk full.\n");
    WriteFile(local / "up.bin", Pattern(70000));
    auto s = Open();
    EXPECT_EQ(ErrorOf<ProtocolReplyError>([&] { s->Put(local / "up.bin", "up.bin"); }),
              "426 Disk full.");
    s->Noop();
}

TEST_F(Scripted, DataConnectionResetMidTransferNeverCountsAsComplete) {
    server->writeFile("big.bin", Pattern(3000000));
    server->setScenario("retr-limit\t1500000\nretr-end\treset\n"
                        "rewrite\t226 Transfer complete\t426 Data connection reset.\n");
    for (bool passive : {true, false}) {
        auto s = Open(passive);
        try {
            GetResult r = s->Get("big.bin", local / "reset.bin", true);
            EXPECT_FALSE(r.Complete);
        } catch (const SocketError& e) {
            EXPECT_EQ(e.Code(), 10054);
        }
        // The control connection was brought back in step.
        EXPECT_TRUE(s->Connected());
        s->Noop();
        EXPECT_EQ(s->Size("big.bin"), 3000000);
    }
}

TEST_F(Scripted, UploadResetByTheServerFailsWithoutKillingTheProcess) {
    // A send on a connection the peer has reset raises SIGPIPE unless the
    // session keeps it away from the process.
    server->setScenario("stor-reset\t100000\n");
    WriteFile(local / "up.bin", Pattern(16 << 20));
    for (bool passive : {true, false}) {
        auto s = Open(passive);
        try {
            s->Put(local / "up.bin", "up.bin");
            FAIL();
        } catch (const SocketError& e) {
            EXPECT_EQ(e.Code(), 10054);
        } catch (const ProtocolReplyError& e) {
            EXPECT_EQ(e.Code(), 426); // the reset raced the last write
        }
        EXPECT_TRUE(s->Connected());
        s->Noop();
    }
}

TEST_F(Scripted, ControlConnectionDroppedMidTransfer) {
    server->writeFile("big.bin", Pattern(3000000));
    server->setScenario("retr-limit\t100000\nretr-end\tdrop-control\n");
    auto s = Open();
    bool failed = false;
    try {
        s->Get("big.bin", local / "drop.bin", true);
    } catch (const ConnClosedGracefullyError&) {
        failed = true;
    } catch (const SocketError&) {
        failed = true;
    }
    EXPECT_TRUE(failed);
    EXPECT_FALSE(s->Connected());
    EXPECT_EQ(host.disconnected, 1);
    EXPECT_THROW(s->Noop(), ConnClosedGracefullyError);
}

TEST_F(Scripted, SilentServerTimesOutWith10060) {
    server->setScenario("silent\tNOOP\n");
    auto s = Open();
    s->NetTimeOut = 1;
    Caught e = CaughtError<SocketError>([&] { s->Noop(); });
    EXPECT_EQ(e.code, 10060);
    EXPECT_EQ(e.what, "Socket Error # 10060\r\nConnection timed out.");
    EXPECT_FALSE(s->Connected());
    EXPECT_EQ(host.disconnected, 1);

    server->setScenario("silent-greeting\n");
    auto t = MakeSession(*server, host);
    t->NetTimeOut = 1;
    EXPECT_EQ(ErrorOf<SocketError>([&] { t->Connect(); }),
              "Socket Error # 10060\r\nConnection timed out.");
}

TEST_F(Scripted, StalledDataTimesOutAndTheSessionStaysUsable) {
    server->writeFile("big.bin", Pattern(300000));
    server->setScenario("retr-limit\t1000\nretr-end\tstall\nstor-stall\n");
    WriteFile(local / "up.bin", Pattern(32 << 20));
    auto s = Open();
    s->NetTimeOut = 1;
    EXPECT_EQ(ErrorOf<SocketError>([&] { s->Get("big.bin", local / "stall.bin", true); }),
              "Socket Error # 10060\r\nConnection timed out.");
    EXPECT_TRUE(s->Connected());
    s->Noop();
    // A data connection the server never reads: the write makes no progress.
    EXPECT_EQ(ErrorOf<SocketError>([&] { s->Put(local / "up.bin", "up.bin"); }),
              "Socket Error # 10060\r\nConnection timed out.");
    s->Noop();
}

TEST_F(Scripted, RepliesTooLongOrTooManyLinesCloseTheSession) {
    for (const char* kind : {"@long", "@many"}) {
        server->setScenario(std::string("reply\tNOOP\t") + kind + "\n");
        auto s = Open();
        EXPECT_THROW(s->Noop(), FtpLimitError) << kind;
        EXPECT_FALSE(s->Connected());
    }
}

TEST_F(Scripted, ListingLinesAreBoundedAndEmptyOnesDropped) {
    server->setScenario("list-raw\t3000000\t\\n\n");
    auto s = Open();
    std::vector<std::string> lines{"stale"};
    s->List(lines, "");
    EXPECT_TRUE(lines.empty());
    server->setScenario("list-raw\t1000001\ta\\n\n");
    auto t = Open();
    lines = {"kept"};
    EXPECT_NE(CaughtError<FtpLimitError>([&] { t->List(lines, ""); }).what.find("1000000 lines"),
              std::string::npos);
    EXPECT_EQ(lines, std::vector<std::string>{"kept"});
    t->Noop();
}

TEST_F(Scripted, ATrickleOfBlankLinesCannotStretchTheReplyTimeOut) {
    server->setScenario("drip\tNOOP\t6\n");
    auto s = Open();
    s->NetTimeOut = 2;
    // Not awaited beyond the time-out.
    EXPECT_EQ(CaughtError<SocketError>([&] { s->Noop(); }).code, 10060);
    EXPECT_FALSE(s->Connected());
}

TEST_F(Scripted, OversizedListingIsRefusedAndTheSessionStaysInStep) {
    server->setScenario("list-bytes\t3000000\n");
    auto s = Open();
    s->MaxListingBytes = 1 << 20;
    std::vector<std::string> lines{"kept"};
    EXPECT_NE(CaughtError<FtpLimitError>([&] { s->List(lines, ""); }).what.find("1048576 bytes"),
              std::string::npos);
    EXPECT_EQ(lines, std::vector<std::string>{"kept"});
    EXPECT_TRUE(s->Connected());
    s->Noop();
    EXPECT_EQ(ftp::kMaxListingBytes, FtpSession().MaxListingBytes);
}

TEST_F(Scripted, WorkEventsReportCumulativeTotalsInChunks) {
    const std::string content = Pattern(100000, 7);
    server->writeFile("w.bin", content);
    WriteFile(local / "w-up.bin", content);
    auto s = Open();
    GetResult r = s->Get("w.bin", local / "w.bin", false);
    EXPECT_TRUE(r.Complete);
    EXPECT_EQ(r.Bytes, 100000);
    ASSERT_GE(host.work.size(), 3u);
    EXPECT_EQ(host.work.front().kind, 'B');
    EXPECT_EQ(host.work.front().value, 0); // downloads announce no size
    EXPECT_EQ(host.work.back().kind, 'E');
    int64_t last = 0;
    for (size_t i = 1; i + 1 < host.work.size(); ++i) {
        ASSERT_EQ(host.work[i].kind, 'W');
        EXPECT_EQ(host.work[i].dir, WorkDirection::Read);
        EXPECT_GT(host.work[i].value, last);
        EXPECT_LE(host.work[i].value - last, 32768);
        last = host.work[i].value;
    }
    EXPECT_EQ(last, 100000);

    host.work.clear();
    s->Put(local / "w-up.bin", "w-up.bin");
    ASSERT_GE(host.work.size(), 3u);
    EXPECT_EQ(host.work.front().kind, 'B');
    EXPECT_EQ(host.work.front().dir, WorkDirection::Write);
    EXPECT_EQ(host.work.front().value, 100000);
    EXPECT_EQ(host.work[host.work.size() - 2].value, 100000);
    EXPECT_EQ(ReadFile(server->path("w-up.bin")), content);
    // Ordinary commands raise no work events.
    host.work.clear();
    s->Noop();
    EXPECT_TRUE(host.work.empty());
}

TEST_F(Scripted, AbortInAWorkEventCutsTransfersShortInBothModes) {
    const std::string content = Pattern(8 << 20, 3);
    server->writeFile("abort.bin", content);
    WriteFile(local / "abort-up.bin", content);
    for (bool passive : {true, false}) {
        auto s = Open(passive);
        host.onWork = [&](WorkDirection, int64_t) { s->Abort(); };
        GetResult r = s->Get("abort.bin", local / "abort.bin", true);
        EXPECT_FALSE(r.Complete);
        EXPECT_LT(r.Bytes, static_cast<int64_t>(content.size()));
        EXPECT_EQ(ReadFile(local / "abort.bin"), content.substr(0, r.Bytes));
        EXPECT_TRUE(Sent("ABOR"));
        EXPECT_EQ(s->Size("abort.bin"), static_cast<int64_t>(content.size()));

        EXPECT_THROW(s->Put(local / "abort-up.bin", "abort-up.bin"), ConnClosedGracefullyError);
        host.onWork = nullptr;
        // The pending replies were read: the next command gets its own.
        EXPECT_TRUE(s->Connected());
        EXPECT_EQ(s->RetrieveCurrentDir(), "/");
        s->Noop();
        EXPECT_EQ(s->LastReplyCode(), 200);
    }
    // Outside a transfer Abort sends nothing.
    auto s = Open();
    s->Abort();
    s->Noop();
    EXPECT_FALSE(Sent("ABOR"));
}

TEST_F(Scripted, NoopWhileBusyDoesNothingAndOtherCommandsAreRefused) {
    server->writeFile("slow.bin", Pattern(400000));
    server->setScenario("throttle\t1000000\n");
    auto s = Open();
    int busySeen = 0, refused = 0;
    host.onPump = [&] {
        if (s->Busy())
            ++busySeen;
        s->Noop();
        try {
            s->ChangeDir("elsewhere");
        } catch (const FtpBusyError&) {
            ++refused;
        }
    };
    GetResult r = s->Get("slow.bin", local / "slow.bin", true);
    host.onPump = nullptr;
    EXPECT_TRUE(r.Complete);
    EXPECT_GT(busySeen, 0);
    EXPECT_EQ(refused, busySeen);
    EXPECT_FALSE(s->Busy());
    EXPECT_FALSE(Sent("NOOP"));
    EXPECT_FALSE(Sent("CWD elsewhere"));
}

TEST_F(Scripted, DisconnectAndReleaseDuringAWaitFailCleanly) {
    server->writeFile("slow.bin", Pattern(2000000));
    server->setScenario("throttle\t500000\n");
    for (bool passive : {true, false}) {
        auto owner = Open(passive);
        std::weak_ptr<FtpSession> watch = owner;
        int pumps = 0;
        host.disconnected = 0;
        host.onPump = [&] {
            if (++pumps == 5 && owner) {
                owner->Disconnect();
                owner.reset(); // the owner lets go while the download waits
            }
        };
        std::shared_ptr<FtpSession> running = owner;
        FtpSession* raw = running.get();
        running.reset();
        EXPECT_THROW(raw->Get("slow.bin", local / "slow.bin", true), ConnClosedGracefullyError);
        host.onPump = nullptr;
        EXPECT_EQ(host.disconnected, 1);
        EXPECT_TRUE(watch.expired()); // freed once the operation had returned
    }
    // The owner dropping the session alone does not stop the operation.
    server->clearScenario();
    auto owner = Open();
    host.onPump = [&] { owner.reset(); };
    FtpSession* raw = owner.get();
    GetResult r = raw->Get("slow.bin", local / "slow2.bin", true);
    host.onPump = nullptr;
    EXPECT_TRUE(r.Complete);
    EXPECT_FALSE(owner);
}

TEST_F(Scripted, DisconnectDuringConnectWait) {
    server->setScenario("silent-greeting\n");
    auto s = MakeSession(*server, host);
    host.onPump = [&] { s->Disconnect(); };
    EXPECT_THROW(s->Connect(), ConnClosedGracefullyError);
    host.onPump = nullptr;
    EXPECT_FALSE(s->Connected());

    // During the TCP handshake itself: a listener whose queue is full drops
    // the SYN, so the connect waits.
    net::NetSocket full;
    full.Listen(net::Address::Loopback(0));
    net::Address at = full.LocalAddress();
    net::NetSocket queued[2];
    net::Waiter w(nullptr, 1);
    for (auto& q : queued) {
        try {
            q.Connect(at, "", w);
        } catch (const SocketError&) {
            // already full
        }
    }
    auto t = MakeSession(*server, host);
    t->Port = at.Port();
    host.status.clear();
    host.onPump = [&] { t->Disconnect(); };
    EXPECT_THROW(t->Connect(), ConnClosedGracefullyError);
    host.onPump = nullptr;
    EXPECT_NE(std::find(host.status.begin(), host.status.end(), "Disconnecting from 127.0.0.1."),
              host.status.end());
}

TEST_F(Scripted, LocalFileRulesAndRefusedArguments) {
    server->writeFile("l.txt", "remote");
    WriteFile(local / "exists.txt", "local");
    auto s = Open();
    EXPECT_THROW(s->Get("l.txt", local / "exists.txt", false), FileAlreadyExistsError);
    EXPECT_EQ(ReadFile(local / "exists.txt"), "local");
    EXPECT_TRUE(server->wireLog().empty()); // refused before anything was sent
    EXPECT_TRUE(s->Get("l.txt", local / "exists.txt", true).Complete);
    EXPECT_EQ(ReadFile(local / "exists.txt"), "remote");

    EXPECT_THROW(s->Put(local / "no-such-file", "x"), FileError);
    EXPECT_THROW(s->Get("l.txt", local / "no-such-dir/x", true), FileError);
    EXPECT_THROW(s->Delete("a\r\nDELE b"), FtpArgumentError);
    EXPECT_THROW(s->Rename("a", "b\nc"), FtpArgumentError);
    EXPECT_THROW(s->ChangeDir(std::string("a\0b", 3)), FtpArgumentError);
    std::vector<std::string> lines;
    EXPECT_THROW(s->List(lines, "x\n"), FtpArgumentError);
    // Nothing of it reached the server, and the session is fine.
    EXPECT_EQ(server->wireLog().size(), 2u);
    s->Noop();
}

TEST_F(Scripted, LocalWriteFailureStopsTheDownloadAndKeepsTheSession) {
    server->writeFile("full.bin", Pattern(4 << 20));
    for (bool passive : {true, false}) {
        auto s = Open(passive);
        std::string e = CaughtError<FileError>([&] { s->Get("full.bin", "/dev/full", true); }).what;
        EXPECT_NE(e.find("/dev/full"), std::string::npos);
        EXPECT_NE(e.find("No space left on device"), std::string::npos);
        EXPECT_TRUE(Sent("ABOR"));
        EXPECT_TRUE(s->Connected());
        EXPECT_EQ(s->Size("full.bin"), 4 << 20);
    }
}

TEST_F(Scripted, ConnectFailures) {
    auto s = MakeSession(*server, host);
    s->Port = FreePort();
    EXPECT_EQ(ErrorOf<SocketError>([&] { s->Connect(); }),
              "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(host.disconnected, 0); // never connected
    s->Host = "no_such_host!";       // refused by the resolver itself: no query leaves the machine
    EXPECT_EQ(ErrorOf<SocketError>([&] { s->Connect(); }),
              "Socket Error # 11001\r\nHost not found.");
    s->Host = "127.0.0.1";
    s->Port = 0;
    EXPECT_THROW(s->Connect(), FtpError);
    s->Port = server->port();
    s->BoundIP = "10.255.255.254"; // not an address of this machine
    EXPECT_EQ(ErrorOf<SocketError>([&] { s->Connect(); }),
              "Socket Error # 10049\r\nCannot assign requested address.");
    s->BoundIP = "127.0.0.1";
    s->Connect();
    EXPECT_THROW(s->Connect(), AlreadyConnectedError);
    EXPECT_FALSE(s->Connected());
    EXPECT_THROW(s->Noop(), ConnClosedGracefullyError);
}

TEST_F(Scripted, TransferTypeChangesOnlyWhenNeeded) {
    auto s = MakeSession(*server, host);
    s->SetTransferType(TransferType::Ascii); // stored for the login
    s->Connect();
    EXPECT_EQ(server->wireLog()[2], "type A");
    server->clearWireLog();
    s->SetTransferType(TransferType::Ascii);
    EXPECT_TRUE(server->wireLog().empty());
    s->SetTransferType(TransferType::Binary);
    EXPECT_EQ(server->wireLog(), std::vector<std::string>{"type I"});
    EXPECT_EQ(s->Type, TransferType::Binary);
}

// A reply no command waits for, wherever a server sends it, is traced and
// skipped: the next command reads its own reply, nothing is sent twice, and
// the session stays in step.
TEST_F(Scripted, UnsolicitedRepliesAreSkippedWhereverTheyCome) {
    server->writeFile("in.bin", Pattern(70000, 2));
    WriteFile(local / "up.bin", Pattern(50000, 3));
    struct Case {
        const char* scenario;
        std::function<void(FtpSession&)> step;
        std::vector<std::string> wire;
    };
    const std::vector<Case> cases = {
        {"also\tSTOR\t226 Closing data connection.",
         [&](FtpSession& s) {
             s.Put(local / "up.bin", "tmp.bin");
             s.Rename("tmp.bin", "up.bin");
         },
         {"PASV", "STOR tmp.bin", "RNFR tmp.bin", "RNTO up.bin"}},
        {"also\tRETR\t226 Transfer complete.",
         [&](FtpSession& s) {
             EXPECT_TRUE(s.Get("in.bin", local / "in.bin", true).Complete);
             EXPECT_EQ(s.Size("in.bin"), 70000);
         },
         {"PASV", "retr in.bin", "SIZE in.bin"}},
        {"also\tLIST\t226 Closing data connection.",
         [&](FtpSession& s) {
             std::vector<std::string> lines;
             s.List(lines, "");
             EXPECT_EQ(s.RetrieveCurrentDir(), "/");
         },
         {"PASV", "list", "PWD"}},
        {"also\tRNTO\t350 Ready for the destination name.",
         [&](FtpSession& s) {
             s.Rename("in.bin", "moved.bin");
             s.Rename("moved.bin", "in.bin");
         },
         {"RNFR in.bin", "RNTO moved.bin", "RNFR moved.bin", "RNTO in.bin"}},
        // During a pipelined run: each delete's extra reply comes between
        // the replies to the next ones.
        {"also\tDELE\t226 Closing data connection.",
         [&](FtpSession& s) {
             server->writeFile("d1", "1");
             server->writeFile("d2", "2");
             std::vector<std::exception_ptr> results;
             s.Delete({"d1", "d2", "gone"}, results);
             ASSERT_EQ(results.size(), 3u);
             EXPECT_FALSE(results[0]);
             EXPECT_FALSE(results[1]);
             EXPECT_TRUE(results[2]);
             EXPECT_EQ(s.Stamps({"in.bin"}).front().size, 70000);
         },
         {"DELE d1", "DELE d2", "DELE gone", "SIZE in.bin", "MDTM in.bin"}},
        {"also\tSIZE\t226 Closing data connection.",
         [&](FtpSession& s) {
             const std::vector<FtpSession::Stamp> st = s.Stamps({"in.bin", "none"});
             EXPECT_EQ(st[0].size, 70000);
             EXPECT_EQ(st[1].sizeCode, 550);
             s.Noop();
         },
         {"SIZE in.bin", "MDTM in.bin", "SIZE none", "MDTM none", "NOOP"}},
    };
    // Replies that come early, merged into one segment, or a byte at a time
    // are the same replies: nothing is skipped, and everything is in step.
    const std::vector<Case> inStep = {
        {"early-226",
         [&](FtpSession& s) {
             EXPECT_TRUE(s.Get("in.bin", local / "early.bin", true).Complete);
             EXPECT_EQ(ReadFile(local / "early.bin").size(), 70000u);
             EXPECT_EQ(s.RetrieveCurrentDir(), "/");
         },
         {"PASV", "retr in.bin", "PWD"}},
        {"split",
         [&](FtpSession& s) {
             const std::vector<FtpSession::Stamp> st = s.Stamps({"in.bin", "none"});
             EXPECT_EQ(st[0].size, 70000);
             EXPECT_EQ(st[1].sizeCode, 550);
             EXPECT_EQ(s.RetrieveCurrentDir(), "/");
         },
         {"SIZE in.bin", "MDTM in.bin", "SIZE none", "MDTM none", "PWD"}},
    };
    for (const Case& c : inStep) {
        SCOPED_TRACE(c.scenario);
        server->setScenario(std::string(c.scenario) + "\n");
        auto s = Open();
        c.step(*s);
        EXPECT_TRUE(s->Connected());
        EXPECT_EQ(server->wireLog(), c.wire);
        s->Disconnect();
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        server->setScenario(std::string(c.scenario) + "\n");
        auto s = Open();
        c.step(*s);
        EXPECT_TRUE(s->Connected());
        EXPECT_EQ(server->wireLog(), c.wire);
        auto skipped =
            std::count_if(host.trace.begin(), host.trace.end(), [](const std::string& t) {
                return t.find("Skipped a reply no command waits for") != std::string::npos;
            });
        EXPECT_GE(skipped, 1);
        host.trace.clear();
        s->Disconnect();
    }
}

// Servers that would hold a run for ever or fill the disk: one that
// trickles a listing or a download below the rate floor, one that sends past
// the file's announced size. Each fails with a clear error, bounded in time,
// and the session stays usable.
TEST_F(Scripted, TricklingAndEndlessTransfersEnd) {
    server->writeFile("small.txt", std::string(59, 's'));
    server->writeFile("slow.txt", std::string(10000, 't'));
    auto bounded = [](const std::function<void()>& f) {
        const auto start = std::chrono::steady_clock::now();
        f();
        return std::chrono::steady_clock::now() - start < std::chrono::seconds(8);
    };
    server->setScenario("throttle\t1\n");
    auto s = Open();
    s->NetTimeOut = 2;
    EXPECT_TRUE(bounded([&] {
        Caught e = CaughtError<SocketError>([&] { s->Get("slow.txt", local / "slow.txt", true); });
        EXPECT_EQ(e.code, 10060);
        EXPECT_NE(e.what.find("fewer than 1024 a second"), std::string::npos) << e.what;
    }));
    EXPECT_TRUE(bounded([&] {
        std::vector<std::string> lines;
        EXPECT_EQ(CaughtError<SocketError>([&] { s->List(lines, ""); }).code, 10060);
    }));
    server->setScenario("retr-endless\n");
    auto t = Open();
    int64_t size = -1;
    EXPECT_TRUE(bounded([&] {
        EXPECT_NE(CaughtError<FtpLimitError>([&] {
                      t->Get("small.txt", local / "endless.txt", true, &size);
                  }).what.find("more than the 59 bytes it announced for small.txt"),
                  std::string::npos);
    }));
    EXPECT_TRUE(t->Connected());
    t->Noop();
}

// Queries sent ahead are taken by the operation that sends the same commands
// (their round trip saved), and dropped by any other; the phase changes go to
// the trace when asked.
TEST_F(Scripted, CommandsSentAheadAndThePhase) {
    server->writeFile("in.bin", Pattern(3000, 5));
    auto s = Open();
    s->TracePhases = true;
    s->SendAhead({"SIZE in.bin", "PASV"});
    int64_t size = -1;
    EXPECT_TRUE(s->Get("in.bin", local / "in.bin", true, &size).Complete);
    EXPECT_EQ(size, 3000);
    s->SendAhead({"SIZE other.bin", "MDTM other.bin", "PASV"});
    s->Noop();
    EXPECT_EQ(server->wireLog(),
              (std::vector<std::string>{"SIZE in.bin", "PASV", "retr in.bin", "SIZE other.bin",
                                        "MDTM other.bin", "PASV", "NOOP"}));
    EXPECT_EQ(s->Size("in.bin"), 3000);
    EXPECT_THROW(s->SendAhead({"DELE in.bin"}), FtpArgumentError);
    std::vector<std::string> phases;
    for (const std::string& t : host.traceTexts())
        if (t.rfind("Phase: ", 0) == 0)
            phases.push_back(t);
    ASSERT_GE(phases.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(phases.begin(), phases.begin() + 3),
              (std::vector<std::string>{"Phase: idle -> command in flight.",
                                        "Phase: command in flight -> transfer running.",
                                        "Phase: transfer running -> idle."}));
    EXPECT_EQ(phases.back(), "Phase: command in flight -> idle.");
}
