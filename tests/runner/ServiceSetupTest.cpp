// What a service manager needs of korvaned: the notify messages reach the
// socket named by $NOTIFY_SOCKET (a path or an abstract name), and INIT makes
// a program folder without replacing anything that is there.
#include "program/ProgramFolderInit.h"
#include "program/ServiceNotify.h"
#include "support/TestSupport.h"
#include "util/Fs.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

// Binds a datagram socket to name ('@' first: abstract) and sets $NOTIFY_SOCKET.
class Listener {
public:
    explicit Listener(const std::string& name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, name.data(), name.size());
        if (name[0] == '@')
            a.sun_path[0] = '\0';
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), length), 0) << name;
        ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
    }
    ~Listener() {
        ::close(fd_);
        ::unsetenv("NOTIFY_SOCKET");
    }
    std::string Received() {
        char buffer[256];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        return n < 0 ? "(nothing)" : std::string(buffer, static_cast<size_t>(n));
    }

private:
    int fd_ = -1;
};

} // namespace

TEST(ServiceNotify, ReachesPathAndAbstractSocketsAndIsSilentWithout) {
    TempDir dir;
    {
        Listener path(dir / "notify");
        EXPECT_TRUE(kv::NotifyServiceManager("READY=1\nSTATUS=Serving x"));
        EXPECT_EQ(path.Received(), "READY=1\nSTATUS=Serving x");
    }
    {
        Listener abstract("@korvane-test-" + std::to_string(::getpid()));
        EXPECT_TRUE(kv::NotifyServiceManager("STOPPING=1"));
        EXPECT_EQ(abstract.Received(), "STOPPING=1");
    }
    // No manager, or one that went away: nothing sent, nothing fails.
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(kv::NotifyServiceManager("READY=1"));
    ::setenv("NOTIFY_SOCKET", (dir / "gone").c_str(), 1);
    EXPECT_FALSE(kv::NotifyServiceManager("READY=1"));
    ::setenv("NOTIFY_SOCKET", ("/" + std::string(200, 'x')).c_str(), 1);
    EXPECT_FALSE(kv::NotifyServiceManager("READY=1"));
    ::unsetenv("NOTIFY_SOCKET");
}

TEST(ProgramFolderInit, FillsAFolderWithoutReplacingAnything) {
    TempDir dir;
    const std::string tmpl = dir / "template";
    ::mkdir(tmpl.c_str(), 0755);
    ::mkdir((tmpl + "/Language").c_str(), 0755);
    WriteFile(tmpl + "/Korvane.ini", "[Options]\r\nHost=\r\n");
    WriteFile(tmpl + "/Language/kven.ini", "factory en");
    WriteFile(tmpl + "/Language/kvchs.ini", "factory chs");
    std::ostringstream out, err;

    // A folder with a pack of its own but no settings yet: filled around it.
    const std::string home = dir / "mail/box";
    ASSERT_TRUE(kv::ForceDirectories(home + "/Language"));
    WriteFile(home + "/Language/kven.ini", "mine");
    EXPECT_EQ(kv::InitProgramFolder(home + "/", tmpl, out, err), 0) << err.str();
    EXPECT_EQ(ReadFile(home + "/Language/kven.ini"), "mine");
    EXPECT_EQ(ReadFile(home + "/Language/kvchs.ini"), "factory chs");
    EXPECT_EQ(ReadFile(home + "/Korvane.ini"), "[Options]\r\nHost=\r\n");
    struct stat st {};
    ASSERT_EQ(::stat((home + "/Korvane.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const char* folder : {"INBOX", "OUTBOX", "BACKUP", "ERROR", "TMP", "LOG"})
        EXPECT_TRUE(kv::DirectoryExists(home + "/" + folder)) << folder;
    EXPECT_NE(out.str().find("Made the program folder " + home + " from"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("korvaned PASSWORD"), std::string::npos);

    // A program folder already, even with only the backup left: untouched.
    for (const char* settings : {"Korvane.ini", "kvini.bak"}) {
        TempDir other;
        WriteFile(other / settings, "[Options]\r\nHost=edi.example\r\n");
        out.str("");
        EXPECT_EQ(kv::InitProgramFolder(other.path(), tmpl, out, err), 0);
        EXPECT_NE(out.str().find("nothing changed"), std::string::npos);
        EXPECT_EQ(kv::ListFolder(other.path(), "*", false), std::vector<std::string>{settings});
    }

    // No template, or a folder that cannot be made: status 2, a reason, nothing made.
    err.str("");
    EXPECT_EQ(kv::InitProgramFolder(dir / "fresh", dir / "none", out, err), 2);
    EXPECT_NE(err.str().find("no program template"), std::string::npos);
    EXPECT_FALSE(kv::DirectoryExists(dir / "fresh"));
    WriteFile(dir / "file", "x");
    err.str("");
    EXPECT_EQ(kv::InitProgramFolder(dir / "file/box", tmpl, out, err), 2);
    EXPECT_NE(err.str().find("Cannot create the folder " + (dir / "file/box")), std::string::npos)
        << err.str();
}

// An installed program (a template in share/korvane beside its bin folder,
// as this build has) without KORVANE_HOME works in the user's own folder,
// made once from the template; KORVANE_HOME still wins.
TEST(ProgramFolderInit, AnInstalledProgramWorksInTheUsersFolder) {
    TempDir dir;
    const char* savedHome = std::getenv("KORVANE_HOME");
    const std::string saved = savedHome ? savedHome : "";
    ::unsetenv("KORVANE_HOME");
    ::setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    std::ostringstream err;
    const std::string user = dir / "korvane";
    EXPECT_EQ(kv::ResolveProgramFolder(err), user) << err.str();
    EXPECT_TRUE(kv::FileExists(user + "/Korvane.ini")) << err.str();
    EXPECT_TRUE(kv::DirectoryExists(user + "/INBOX"));
    WriteFile(user + "/Korvane.ini", "[Options]\r\nHost=mine\r\n");
    EXPECT_EQ(kv::ResolveProgramFolder(err), user);
    EXPECT_EQ(ReadFile(user + "/Korvane.ini"), "[Options]\r\nHost=mine\r\n");

    ::setenv("KORVANE_HOME", (dir / "elsewhere").c_str(), 1);
    EXPECT_EQ(kv::ResolveProgramFolder(err), dir / "elsewhere");
    ::unsetenv("XDG_DATA_HOME");
    if (savedHome)
        ::setenv("KORVANE_HOME", saved.c_str(), 1);
    else
        ::unsetenv("KORVANE_HOME");
}
