// Whole receive and send cycles over SFTP against OpenSSH's sshd (an
// internal-sftp user chrooted on 127.0.0.1): the same lines, records and
// files as over FTP; host keys pinned, refused or accepted once by the user;
// password and key logins; a connection that drops in the middle of a
// transfer and a refused rename lose nothing; SOCKS 5 and 4A proxies.
#include "../engine/EngineTestSupport.h"
#include "engine/session/Connection.h"
#include "remote/RemoteSession.h"
#include "sftp/SftpPacket.h"
#include "sftp/SftpText.h"
#include "support/Servers.h"
#include "support/SftpServer.h"

#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv;
using namespace kvtest;

namespace {

SftpServer& Server() {
    return SharedSftpd();
}

// A mailbox on the SFTP server, host key pinned, password login.
struct SftpMailbox : Mailbox {
    SftpMailbox() : Mailbox(Server()) {
        state.settings.Protocol = "SFTP";
        state.settings.SFTPHostKey = Server().fingerprint();
        state.host = &asking;
    }
    // A window's host: answers the host-key question with `accept`.
    struct AskingHost : EngineHost {
        bool accept = false;
        std::vector<std::string> asked;
        std::function<void(const std::string&)> onTrace;
        void FtpTrace(const std::string& line) override {
            EngineHost::FtpTrace(line);
            if (onTrace)
                onTrace(line);
        }
        bool ConfirmHostKey(const std::string&, const std::string& fingerprint,
                            const std::string&) override {
            asked.push_back(fingerprint);
            return accept;
        }
    } asking;
};

const Files kRemote = {{"A.EDI", kHead + "first\r\n"},
                       {"NODOT", kHead + "no dot in the name\r\n"},
                       {"BIG.DAT", kHead + std::string(3 << 20, 'b') + "\r\n"}};
const Files kOutbox = {{"X1.TXT", kOwn + std::string(2000, 'x') + "\r\n"},
                       {"X2.TXT", kOwn + "second\r\n"}};

class SftpCycle : public ::testing::Test {
protected:
    void SetUp() override {
        if (!RunningAsRoot())
            GTEST_SKIP() << "sshd needs root (chroot and password logins)";
    }
};

} // namespace

TEST(SftpText, ListingLinesFingerprintsAndTimes) {
    // A listing line the cycle's parser reads as FTP servers' lines.
    const std::time_t now = 1767225600; // 2026-01-01 00:00 UTC
    EXPECT_EQ(sftp::ListingLine("A B.EDI", 0100644, 1000, 100, 1234, now - 3600, now),
              "-rw-r--r-- 1 1000 100 1234 Dec 31 23:00 A B.EDI");
    EXPECT_EQ(sftp::ListingLine("old", 040755, 0, 0, 4096, now - 400L * 86400, now),
              "drwxr-xr-x 1 0 0 4096 Nov 27  2024 old");
    EXPECT_EQ(sftp::ModificationTime(now + 61), "20260101000101");
    // The fingerprint of ssh-keygen -l -E sha256: 43 characters, no padding.
    unsigned char digest[32];
    for (int i = 0; i < 32; ++i)
        digest[i] = static_cast<unsigned char>(i * 7);
    const std::string fp = sftp::Fingerprint(digest);
    EXPECT_EQ(fp, "SHA256:AAcOFRwjKjE4P0ZNVFtiaXB3foWMk5qhqK+2vcTL0tk");
    EXPECT_EQ(sftp::NormalFingerprint("  " + fp + "= "), fp);
    for (const std::string& bad :
         std::vector<std::string>{"", "SHA256:short", "MD5:" + fp.substr(7), fp + "x"})
        EXPECT_EQ(sftp::NormalFingerprint(bad), "") << bad;
}

// Requests go out with their length and id in front; answers cut short or
// padded wrongly are seen as malformed, never read past their end.
TEST(SftpPacket, RequestsAndAnswers) {
    const std::string open =
        std::move(sftp::Request(sftp::kOpen, 7).Str("in/A").U32(sftp::kFxfWrite).Mode(0644))
            .Bytes();
    EXPECT_EQ(open, std::string("\0\0\0\x19\x03\0\0\0\x07\0\0\0\x04in/A\0\0\0\x02"
                                "\0\0\0\x04\0\0\x01\xa4",
                                29));
    EXPECT_EQ(sftp::PacketLength(open.data()), open.size() - 4);
    // ATTRS: size, permissions and times; then the same cut anywhere.
    const std::string attrs("\0\0\0\x0d"
                            "\0\0\0\0\0\0\x10\0"
                            "\0\0\x81\xa4"
                            "\0\0\0\x01\x65\x92\x00\x80",
                            24);
    sftp::Reader whole(attrs);
    const sftp::Attrs a = whole.ReadAttrs();
    EXPECT_TRUE(whole.Ok() && whole.AtEnd());
    EXPECT_TRUE(a.IsRegular() && a.HasSize() && a.HasTime() && !a.IsDir());
    EXPECT_EQ(a.size, 4096u);
    EXPECT_EQ(a.permissions & 0777, 0644u);
    EXPECT_EQ(a.mtime, 0x65920080u);
    for (size_t cut = 0; cut < attrs.size(); ++cut) {
        sftp::Reader part(std::string_view(attrs).substr(0, cut));
        part.ReadAttrs();
        EXPECT_FALSE(part.Ok()) << cut;
    }
    const std::string tooLong("\0\0\x10\0ab", 6);
    sftp::Reader longName(tooLong);
    EXPECT_EQ(longName.Str(), "");
    EXPECT_FALSE(longName.Ok());
}

// The window's question about an unpinned host key speaks the chosen pack's
// language; without a pack (or its codes) it is English.
TEST(SftpHostKeyQuestion, ComesFromTheLanguagePack) {
    const char* source = std::getenv("KORVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string fp = "SHA256:AAcOFRwjKjE4P0ZNVFtiaXB3foWMk5qhqK+2vcTL0tk";
    const struct {
        std::string pack, first, last;
    } cases[] = {
        {"kven.ini", "This SFTP server presents a host key that is not pinned yet:",
         "Trust it and pin it for the next connections?"},
        {"kvchs.ini", "此 SFTP 服务器出示的主机密钥尚未固定：", "固定它吗？"},
        {"missing.ini", "This SFTP server presents a host key that is not pinned yet:",
         "Trust it and pin it for the next connections?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pack);
        AppState state;
        state.ProgramDir = std::string(source) + "/data";
        state.LanguageFile = c.pack;
        const std::string q = HostKeyQuestion(state, "sftp.example.net", fp, "ED25519");
        EXPECT_EQ(q.rfind(c.first + "\n\nsftp.example.net\nED25519\n" + fp + "\n\n", 0), 0u) << q;
        EXPECT_EQ(q.substr(q.size() - c.last.size()), c.last) << q;
    }
}

TEST_F(SftpCycle, ReceivesAndSendsLikeFtpWithPasswordOrKey) {
    for (const bool key : {false, true}) {
        SCOPED_TRACE(key ? "key login, ASCII type" : "password login, binary type");
        SftpMailbox m;
        if (key) {
            m.state.settings.Password = "not the password";
            m.state.settings.SFTPKeyFile = Server().keyFile();
            m.state.settings.SFTPKeyPassword = Server().keyPassphrase();
            m.state.settings.TransferType = "ASCII";
        }
        m.putRemote("out", kRemote);
        Server().writeFile("out/.hidden", "being written by the centre");
        m.putLocal(m.outbox(), kOutbox);
        // A file of that name is in the destination already: never replaced.
        Server().writeFile("in/X2.TXT", "the centre's own");
        const CycleOutcome out = m.runCycle();
        EXPECT_TRUE(out.Connected);
        const std::vector<std::string> log = m.sysLog();
        EXPECT_TRUE(Grep(log, "ERROR").empty()) << ::testing::PrintToString(log);
        EXPECT_EQ(Mailbox::Read(m.inbox()), kRemote);
        EXPECT_EQ(m.remote("out"), (Files{{".hidden", "being written by the centre"}}));
        EXPECT_TRUE(FolderEntries(m.outbox()).empty());
        EXPECT_EQ(m.remote("in"), (Files{{"X1.TXT", kOutbox.at("X1.TXT")},
                                         {"X2.TXT", "the centre's own"},
                                         {"X2.TXT!", kOutbox.at("X2.TXT")}}));
        EXPECT_TRUE(m.remote("tmp").empty());
        for (const auto& [name, content] : kRemote) {
            EXPECT_EQ(Grep(log, "INFO:Start Download File->" + name).size(), 1u) << name;
            EXPECT_EQ(Grep(log, "INFO:Success Download File->" + name).size(), 1u) << name;
        }
        for (const auto& [name, content] : kOutbox)
            EXPECT_EQ(Grep(log, "INFO:Success Upload File->" + name).size(), 1u) << name;
        EXPECT_EQ(Grep(m.records(), "Download File->").size(), kRemote.size());
        EXPECT_EQ(Grep(m.records(), "Upload File->").size(), kOutbox.size());
        EXPECT_FALSE(Grep(log, "INFO:Disconnected.").empty());
        EXPECT_EQ(m.state.FtpSession, nullptr);
    }
}

// Names exactly as the server has them (blanks around, UTF-8), a size too
// large for any disk refused before a byte is written, and the closing lines
// the FTP cycle writes.
TEST_F(SftpCycle, NamesNeedingCareAndImpossibleSizes) {
    SftpMailbox m;
    m.option("AllowSend", "0");
    const Files care = {{" lead.txt", kHead + "lead\r\n"},
                        {"trail.txt ", kHead + "trail\r\n"},
                        {"gr\xc3\xb6\xc3\x9f"
                         "e.edi",
                         kHead + "utf-8\r\n"}};
    m.putRemote("out", care);
    // 8 TiB announced, sparse on the server's side.
    Server().writeFile("out/HUGE.EDI", "");
    ASSERT_EQ(::truncate(Server().path("out/HUGE.EDI").c_str(), 1LL << 43), 0);
    m.runCycle();
    EXPECT_EQ(Mailbox::Read(m.inbox()), care);
    struct stat st;
    ASSERT_EQ(::stat(Server().path("out/HUGE.EDI").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1LL << 43);
    const std::vector<std::string> log = m.sysLog();
    const std::vector<std::string> errors = Grep(log, "ERROR");
    ASSERT_EQ(errors.size(), 2u) << ::testing::PrintToString(log);
    EXPECT_EQ(errors[0], "ERROR:Download File Failed!!!->HUGE.EDI");
    EXPECT_NE(errors[1].find("announces 8796093022208 bytes for out/HUGE.EDI"), std::string::npos)
        << errors[1];
    EXPECT_TRUE(FolderEntries(m.tmp()).empty());
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
              (std::vector<std::string>{"INFO:Disconnecting from 127.0.0.1.", "INFO:Disconnected.",
                                        "INFO:Not connected."}));
    ::unlink(Server().path("out/HUGE.EDI").c_str());
}

// A refusal says the same over both protocols: the engine compares reasons,
// never FTP codes, so a missing file reads as missing over SFTP too.
TEST_F(SftpCycle, RefusalsHaveTheSameReasonOverFtpAndSftp) {
    Mailbox ftp(SharedVsftpd());
    SftpMailbox sftp;
    for (Mailbox* m : {&ftp, static_cast<Mailbox*>(&sftp)}) {
        SCOPED_TRACE(m == &ftp ? "FTP" : "SFTP");
        m->putRemote("out/there.edi", kHead);
        ASSERT_TRUE(ConnectSession(m->state, m->settings()));
        RemoteSession& s = *m->state.FtpSession;
        const std::vector<RemoteSession::SizeAnswer> sizes =
            s.Sizes({"out/gone.edi", "out/there.edi"});
        EXPECT_TRUE(sizes[0].Missing());
        EXPECT_FALSE(sizes[1].Missing());
        EXPECT_EQ(sizes[1].size, static_cast<int64_t>(kHead.size()));
        const std::vector<RemoteSession::Stamp> stamps = s.Stamps({"out/gone.edi"});
        EXPECT_TRUE(stamps[0].Missing());
        for (const auto& refused : std::vector<std::function<void()>>{
                 [&] { s.Delete("out/gone.edi"); },
                 [&] { s.Rename("out/gone.edi", "out/other.edi"); }}) {
            try {
                refused();
                ADD_FAILURE() << "not refused";
            } catch (const ProtocolReplyError& e) {
                EXPECT_EQ(e.Reason(), RemoteRefusal::NoSuchFile) << e.what();
            }
        }
        // The entry of a file, typed: its exact size; a folder is no file.
        m->server.makeDir("out/sub");
        const RemoteListing listing = s.ListFolder("out", "*.*");
        // Over LIST the folder, which "*.*" does not match, is left out.
        ASSERT_EQ(listing.entries.size(), m == &ftp ? 1u : 2u);
        EXPECT_EQ(listing.entries[0].name, "there.edi");
        EXPECT_EQ(listing.entries[0].kind, RemoteKind::File);
        EXPECT_EQ(listing.entries[0].size, static_cast<int64_t>(kHead.size()));
        if (m == &sftp) {
            EXPECT_EQ(listing.entries[1].kind, RemoteKind::Folder);
            EXPECT_EQ(listing.entries[0].time.size(), 14u);
        }
        EXPECT_TRUE(DisconnectSession(m->state));
    }
}

TEST_F(SftpCycle, NoLoginWithoutTheRightHostKeyOrCredentials) {
    const struct {
        const char* what;
        std::string pinned;
        bool accept;
        std::string keyFile, password, protocol;
        std::string line; // the error line says this
    } cases[] = {
        {"changed host key", Server().otherFingerprint(), false, "", Server().password(), "SFTP",
         "presented the host key " + Server().fingerprint() + " (ED25519) instead of the pinned " +
             Server().otherFingerprint()},
        {"unpinned key refused", "", false, "", Server().password(), "sftp",
         "Options/SFTPHostKey=" + Server().fingerprint()},
        {"malformed pin", "SHA256:abc", true, "", Server().password(), "SFTP",
         "is not a fingerprint"},
        {"key refused", Server().fingerprint(), false, Server().strangerKeyFile(),
         Server().password(), "SFTP", "refused the key " + Server().strangerKeyFile()},
        {"wrong password", Server().fingerprint(), false, "", "wrong", "SFTP",
         "refused the password of user " + Server().user()},
        {"unknown protocol", Server().fingerprint(), false, "", Server().password(), "SCP",
         "Options/Protocol is \"SCP\", which is neither FTP nor SFTP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SftpMailbox m;
        m.state.settings.SFTPHostKey = c.pinned;
        m.state.settings.SFTPKeyFile = c.keyFile;
        m.state.settings.Password = c.password;
        m.state.settings.Protocol = c.protocol;
        m.asking.accept = c.accept;
        m.putRemote("out", kRemote);
        m.putLocal(m.outbox(), kOutbox);
        EXPECT_FALSE(m.runCycle().Connected);
        const std::vector<std::string> errors = Grep(m.sysLog(), "ERROR:");
        ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(m.sysLog());
        EXPECT_NE(errors[0].find(c.line), std::string::npos) << errors[0];
        // "Connected." only once the host key is the pinned one.
        const bool keyAccepted = c.pinned == Server().fingerprint() && c.protocol != "SCP";
        EXPECT_EQ(Grep(m.sysLog(), "INFO:Connected.").empty(), !keyAccepted);
        EXPECT_EQ(m.remote("out"), kRemote);
        EXPECT_TRUE(m.remote("in").empty());
        EXPECT_EQ(Mailbox::Read(m.outbox()), kOutbox);
        EXPECT_EQ(m.ini.ReadString("Options", "SFTPHostKey"), "");
    }
    // The window asks about an unpinned key once; the key accepted is pinned.
    SftpMailbox m;
    m.state.settings.SFTPHostKey = "";
    m.asking.accept = true;
    m.putLocal(m.outbox(), kOutbox);
    EXPECT_TRUE(m.runCycle().Connected);
    EXPECT_EQ(m.asking.asked, std::vector<std::string>{Server().fingerprint()});
    EXPECT_EQ(m.ini.ReadString("Options", "SFTPHostKey"), Server().fingerprint());
    EXPECT_EQ(m.remote("in"), kOutbox);
    m.putLocal(m.outbox(), {{"X3.TXT", kOwn}});
    EXPECT_TRUE(m.runCycle().Connected);
    EXPECT_EQ(m.asking.asked.size(), 1u);
}

TEST_F(SftpCycle, ADroppedConnectionOrARefusedRenameLosesNothing) {
    for (const auto dir : {WorkDirection::Read, WorkDirection::Write}) {
        SCOPED_TRACE(dir == WorkDirection::Read ? "dropped while receiving"
                                                : "dropped while sending");
        SftpMailbox m;
        const Files big = {{"BIG.EDI", kOwn + std::string(4 << 20, 'z') + "\r\n"}};
        if (dir == WorkDirection::Read)
            m.putRemote("out", big);
        else
            m.putLocal(m.outbox(), big);
        bool dropped = false;
        m.asking.onWork = [&](WorkDirection d, int64_t total) {
            if (d == dir && total > (1 << 20) && !dropped) {
                dropped = true;
                Server().dropSessions();
            }
        };
        m.runCycle();
        EXPECT_TRUE(dropped);
        EXPECT_FALSE(Grep(m.sysLog(), "ERROR:").empty());
        if (dir == WorkDirection::Read)
            ExpectReceiveLostNothing(m, big);
        else
            ExpectSendLostNothing(m, big);
        m.asking.onWork = nullptr;
        m.runCycle();
        if (dir == WorkDirection::Read) {
            EXPECT_EQ(Mailbox::Read(m.inbox()), big);
            EXPECT_TRUE(m.remote("out").empty());
        } else {
            EXPECT_EQ(m.remote("in"), big);
            EXPECT_TRUE(FolderEntries(m.outbox()).empty());
        }
        EXPECT_TRUE(m.remote("tmp").empty());
    }
    // The connection goes as an upload's open goes out and the server made
    // the file without the answer reaching us: the next cycle removes that
    // copy and sends the file once, under its own name.
    {
        SftpMailbox m;
        const Files one = {{"X1.TXT", kOutbox.at("X1.TXT")}};
        m.putLocal(m.outbox(), one);
        bool dropped = false;
        m.asking.onTrace = [&](const std::string& line) {
            if (!dropped && line.find("Sent: open tmp/X1.TXT for writing") != std::string::npos) {
                dropped = true;
                Server().writeFile("tmp/X1.TXT", "");
                Server().dropSessions();
            }
        };
        m.runCycle();
        ASSERT_TRUE(dropped);
        m.asking.onTrace = nullptr;
        m.runCycle();
        EXPECT_EQ(m.remote("in"), one);
        EXPECT_TRUE(m.remote("tmp").empty());
        EXPECT_TRUE(FolderEntries(m.outbox()).empty());
    }
    // The destination refuses the rename: the upload leaves "tmp", the file
    // stays in the outbox and goes once the folder takes it.
    SftpMailbox m;
    m.putLocal(m.outbox(), kOutbox);
    ASSERT_EQ(::chmod(Server().path("in").c_str(), 0555), 0);
    m.runCycle();
    ::chmod(Server().path("in").c_str(), 0755);
    const std::vector<std::string> log = m.sysLog();
    EXPECT_EQ(Grep(log, "ERROR:Rename File Failed!!!->").size(), kOutbox.size())
        << ::testing::PrintToString(log);
    EXPECT_FALSE(
        Grep(log, "ERROR:SFTP: Permission denied (rename tmp/X1.TXT to in/X1.TXT)").empty());
    EXPECT_TRUE(m.remote("tmp").empty());
    EXPECT_EQ(Mailbox::Read(m.outbox()), kOutbox);
    m.runCycle();
    EXPECT_EQ(m.remote("in"), kOutbox);
    EXPECT_TRUE(FolderEntries(m.outbox()).empty());
}

TEST_F(SftpCycle, ThroughSocks5AndSocks4AProxies) {
    struct Case {
        const char* what;
        std::function<SocksProxy&()> proxy;
        int type; // ProxyType: 2 SOCKS 4A, 3 SOCKS 5
        std::string proxyPassword;
        bool connects;
    };
    const Case cases[] = {
        {"SOCKS 5 with a password (microsocks)", []() -> SocksProxy& { return SharedMicrosocks(); },
         3, "", true},
        {"SOCKS 5, wrong proxy password", []() -> SocksProxy& { return SharedMicrosocks(); }, 3,
         "wrong", false},
        {"SOCKS 4A (OpenSSH's dynamic forwarding)",
         []() -> SocksProxy& { return SharedSshProxy(); }, 2, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SocksProxy& proxy = c.proxy();
        SftpMailbox m;
        m.state.settings.ProxyType = c.type;
        m.state.settings.ProxyHost = proxy.host();
        m.state.settings.ProxyPort = proxy.port();
        if (!proxy.user().empty()) {
            m.state.settings.ProxyAuthentication = 1;
            m.state.settings.ProxyUserID = proxy.user();
            m.state.settings.ProxyPassword =
                c.proxyPassword.empty() ? proxy.password() : c.proxyPassword;
        }
        m.putRemote("out", kRemote);
        m.putLocal(m.outbox(), kOutbox);
        EXPECT_EQ(m.runCycle().Connected, c.connects);
        if (c.connects) {
            EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty()) << ::testing::PrintToString(m.sysLog());
            EXPECT_EQ(Mailbox::Read(m.inbox()), kRemote);
            EXPECT_EQ(m.remote("in"), kOutbox);
        } else {
            EXPECT_EQ(m.remote("out"), kRemote);
            EXPECT_TRUE(m.remote("in").empty());
            EXPECT_EQ(Mailbox::Read(m.outbox()), kOutbox);
        }
    }
}
