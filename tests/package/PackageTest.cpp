// The Debian packages korvaned and korvane, built once from the finished
// build tree with cpack: their metadata and contents, lintian's verdict,
// their systemd units checked by systemd-analyze, and a mailbox served by
// the unpacked korvaned through the units' own command lines (INIT, ONCE,
// SRV with the notify protocol) against an FTP server on 127.0.0.1.
// Nothing is installed on the machine.
#include "config/IniFile.h"
#include "program/CompanionService.h"
#include "support/ChildProgram.h"
#include "support/Servers.h"
#include "support/TestSupport.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using kvtest::ReadFile;
using kvtest::TempDir;

namespace {

// Everything the cases share: the packages and their unpacked tree.
struct Package {
    TempDir dir;
    std::string deb;    // korvaned
    std::string window; // korvane, when the build has the window
    std::string root;   // both unpacked
    std::string error;
};

Package* gPackage = nullptr;

// Runs a program to its end; its exit status, and its output in *output.
int RunTool(const std::vector<std::string>& argv, std::string* output = nullptr) {
    const std::string log = gPackage->dir / "run.log";
    int status = kvtest::RunProgram(argv, log);
    if (output)
        *output = ReadFile(log);
    return status;
}

class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gPackage = new Package;
        const char* build = std::getenv("KORVANE_BUILD_DIR");
        if (!build) {
            gPackage->error = "run through ctest";
            return;
        }
        std::string out;
        const std::string packages = gPackage->dir / "packages";
        if (RunTool({KORVANE_CPACK, "--config", std::string(build) + "/CPackConfig.cmake", "-B",
                     packages},
                    &out) != 0) {
            gPackage->error = "cpack failed:\n" + out;
            return;
        }
        const auto debs = kv::ListFolder(packages, "korvane*_*.deb");
        const auto headless = kv::ListFolder(packages, "korvaned_*.deb");
        const auto window = kv::ListFolder(packages, "korvane_*.deb");
        if (headless.size() != 1 || window.size() != (KORVANE_PACKAGE_HAS_WINDOW ? 1u : 0u) ||
            debs.size() != headless.size() + window.size()) {
            gPackage->error = "expected korvaned_*.deb and, with the window, korvane_*.deb in " +
                              packages + ", and no other";
            return;
        }
        gPackage->deb = kv::JoinPath(packages, headless[0]);
        if (!window.empty())
            gPackage->window = kv::JoinPath(packages, window[0]);
        gPackage->root = gPackage->dir / "root";
        for (const std::string& deb : {gPackage->deb, gPackage->window})
            if (!deb.empty() &&
                RunTool({"/usr/bin/dpkg-deb", "-x", deb, gPackage->root}, &out) != 0)
                gPackage->error = "dpkg-deb -x failed:\n" + out;
    }
    static void TearDownTestSuite() {
        delete gPackage;
        gPackage = nullptr;
    }
    void SetUp() override { ASSERT_EQ(gPackage->error, ""); }

    static std::string Root(const std::string& path) { return gPackage->root + path; }
};

std::string Field(const std::string& name, const std::string& deb = gPackage->deb) {
    std::string out;
    RunTool({"/usr/bin/dpkg-deb", "-f", deb, name}, &out);
    return kv::Trim(out);
}

// A package's files: path -> "-rwxr-xr-x root/root".
std::map<std::string, std::string> Contents(const std::string& deb) {
    std::string listing;
    EXPECT_EQ(RunTool({"/usr/bin/dpkg-deb", "-c", deb}, &listing), 0);
    std::map<std::string, std::string> modes;
    std::istringstream lines(listing);
    for (std::string mode, owner, size, date, time, path;
         lines >> mode >> owner >> size >> date >> time >> path;)
        modes[path] = mode + " " + owner;
    return modes;
}

// The lines of a unit file that set key, in order, after the specifiers of
// an instance are replaced: %i by the instance, %S by stateRoot.
std::vector<std::string> UnitValues(const std::string& unitText, const std::string& key,
                                    const std::string& instance, const std::string& stateRoot) {
    std::vector<std::string> values;
    std::istringstream lines(unitText);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + "=", 0) != 0)
            continue;
        std::string value = line.substr(key.size() + 1), expanded;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '%' && i + 1 < value.size() &&
                (value[i + 1] == 'i' || value[i + 1] == 'S')) {
                expanded += value[i + 1] == 'i' ? instance : stateRoot;
                ++i;
            } else {
                expanded += value[i];
            }
        }
        values.push_back(expanded);
    }
    return values;
}

// A unit file's text naming the unpacked korvaned instead of the installed one.
std::string WithKorvaned(std::string text, const std::string& korvaned) {
    const std::string installed = "/usr/bin/korvaned";
    for (size_t at = 0; (at = text.find(installed, at)) != std::string::npos; at += korvaned.size())
        text.replace(at, installed.size(), korvaned);
    return text;
}

std::vector<std::string> Words(const std::string& commandLine) {
    std::vector<std::string> words;
    std::istringstream in(commandLine);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// A unit's service as a command line run here: the unpacked korvaned in
// place of the installed one, its environment through env(1), plus extra.
struct UnitCommands {
    std::vector<std::string> environment;
    std::vector<std::string> startPre;
    std::vector<std::string> start;

    UnitCommands(const std::string& unitFile, const std::string& instance,
                 const std::string& stateRoot, const std::string& korvaned) {
        const std::string text = WithKorvaned(ReadFile(unitFile), korvaned);
        environment = UnitValues(text, "Environment", instance, stateRoot);
        auto pre = UnitValues(text, "ExecStartPre", instance, stateRoot);
        auto main = UnitValues(text, "ExecStart", instance, stateRoot);
        EXPECT_EQ(pre.size(), 1u);
        EXPECT_EQ(main.size(), 1u);
        if (!pre.empty())
            startPre = WithEnvironment(Words(pre[0]), {});
        if (!main.empty())
            start = Words(main[0]);
    }
    std::vector<std::string> WithEnvironment(const std::vector<std::string>& words,
                                             const std::vector<std::string>& extra) const {
        std::vector<std::string> argv{"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "LANG=C"};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.insert(argv.end(), words.begin(), words.end());
        return argv;
    }
};

// A datagram socket the test listens on, as systemd's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
    }
    ~NotifySocket() { ::close(fd_); }
    // The next message, or "" when none came within the limit.
    std::string Next(int seconds) {
        for (int i = 0; i < seconds * 20; ++i) {
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n >= 0)
                return std::string(buffer, static_cast<size_t>(n));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return "";
    }

private:
    std::string path_;
    int fd_ = -1;
};

// Points the program folder's settings at the server, the password stored
// as the packaged korvaned PASSWORD prints it.
void ConfigureMailbox(const std::string& home, const kvtest::FtpServer& server,
                      const std::string& korvaned, const std::string& interval) {
    std::string hex;
    ASSERT_EQ(RunTool({"/bin/sh", "-c", "printf '%s\\n' \"$1\" | \"$0\" PASSWORD", korvaned,
                       server.password()},
                      &hex),
              0)
        << hex;
    kv::IniFile ini(kv::JoinPath(home, "Korvane.ini"));
    ini.WriteString("Options", "Host", "127.0.0.1");
    ini.WriteString("Options", "Port", std::to_string(server.port()));
    ini.WriteString("Options", "UserID", server.user());
    ini.WriteString("Options", "Password", kv::Trim(hex));
    ini.WriteString("Options", "FileSender", "ME");
    ini.WriteString("Options", "TimeInterval", interval);
    ini.WriteString("Options", "OutboxSettleTime", "0");
}

} // namespace

TEST_F(PackageTest, MetadataContentsAndManualPage) {
    EXPECT_EQ(Field("Package"), "korvaned");
    // A native package: the program's version, its changelog as changelog.gz.
    EXPECT_EQ(Field("Version"), KORVANE_VERSION);
    EXPECT_EQ(Field("Section"), "net");
    EXPECT_NE(Field("Description").find("FTP, FTPS or SFTP"), std::string::npos);
    // Libraries found by dpkg-shlibdeps, and adduser for the system user;
    // nothing of Qt or a desktop on a headless server.
    const std::string depends = Field("Depends");
    for (const char* dep : {"adduser", "libc6 (>= ", "libstdc++6 (>= "})
        EXPECT_NE(depends.find(dep), std::string::npos) << depends;
    for (const char* desktop : {"qt", "libx", "libgl", "libfont"})
        EXPECT_EQ(kv::LowerCase(depends).find(desktop), std::string::npos) << depends;

    std::map<std::string, std::string> modes = Contents(gPackage->deb);
    const std::map<std::string, std::string> expected = {
        {"./usr/bin/korvaned", "-rwxr-xr-x root/root"},
        {"./usr/share/korvane/Korvane.ini", "-rw-r--r-- root/root"},
        {"./usr/share/korvane/Language/kven.ini", "-rw-r--r-- root/root"},
        {"./usr/share/korvane/Language/kvchs.ini", "-rw-r--r-- root/root"},
        {"./usr/lib/systemd/system/korvaned@.service", "-rw-r--r-- root/root"},
        {"./usr/lib/systemd/system/korvaned-once@.service", "-rw-r--r-- root/root"},
        {"./usr/lib/systemd/system/korvaned-once@.timer", "-rw-r--r-- root/root"},
        {"./usr/lib/systemd/user/korvaned@.service", "-rw-r--r-- root/root"},
        {"./usr/share/man/man1/korvaned.1.gz", "-rw-r--r-- root/root"},
        {"./usr/share/man/man5/korvane.ini.5.gz", "-rw-r--r-- root/root"},
        {"./usr/share/doc/korvaned/copyright", "-rw-r--r-- root/root"},
        {"./usr/share/doc/korvaned/changelog.gz", "-rw-r--r-- root/root"},
    };
    for (const auto& [path, mode] : expected)
        EXPECT_EQ(modes[path], mode) << path;
    EXPECT_EQ(modes.count("./usr/bin/korvane"), 0u);
    // The changelog names this version first.
    std::string changelog;
    RunTool(
        {"/bin/sh", "-c", "zcat \"$0\" | head -n 1", Root("/usr/share/doc/korvaned/changelog.gz")},
        &changelog);
    EXPECT_EQ(changelog.rfind(std::string("korvane (") + KORVANE_VERSION + ") ", 0), 0u)
        << changelog;

    // The window, when this build has one: its own package on korvaned.
    if (KORVANE_PACKAGE_HAS_WINDOW) {
        EXPECT_EQ(Field("Package", gPackage->window), "korvane");
        EXPECT_EQ(Field("Version", gPackage->window), KORVANE_VERSION);
        const std::string windowDepends = Field("Depends", gPackage->window);
        EXPECT_NE(windowDepends.find(std::string("korvaned (= ") + KORVANE_VERSION + ")"),
                  std::string::npos)
            << windowDepends;
        EXPECT_NE(windowDepends.find("libqt6widgets6"), std::string::npos) << windowDepends;
        EXPECT_NE(Field("Description", gPackage->window).find("FTP, FTPS or SFTP"),
                  std::string::npos);
        modes = Contents(gPackage->window);
        for (const char* path :
             {"./usr/bin/korvane", "./usr/share/applications/korvane.desktop",
              "./usr/share/man/man1/korvane.1.gz", "./usr/share/doc/korvane/copyright",
              "./usr/share/doc/korvane/changelog.gz"})
            EXPECT_EQ(modes.count(path), 1u) << path;
        EXPECT_EQ(modes.count("./usr/bin/korvaned"), 0u);
    }
    // The template is the factory settings and packs, byte for byte.
    const char* source = std::getenv("KORVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(ReadFile(Root("/usr/share/korvane/Korvane.ini")),
              ReadFile(std::string(source) + "/data/Korvane.ini"));
    // The binary is stripped: no debugging sections in what users install.
    std::string sections;
    RunTool({"/usr/bin/objdump", "-h", Root("/usr/bin/korvaned")}, &sections);
    EXPECT_EQ(sections.find(".debug_info"), std::string::npos);

    // Maintainer scripts: present, executable, valid shell.
    const std::string control = gPackage->dir / "control";
    ASSERT_EQ(RunTool({"/usr/bin/dpkg-deb", "-e", gPackage->deb, control}), 0);
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        const std::string path = kv::JoinPath(control, script);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << script;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << script;
        EXPECT_EQ(RunTool({"/bin/sh", "-n", path}), 0) << script;
    }
    // The user's data stays when the package goes.
    EXPECT_EQ(ReadFile(kv::JoinPath(control, "postrm")).find("/var/lib/korvane/"),
              std::string::npos);

    // The manual pages render without groff warnings; korvaned(1) names
    // what it must.
    std::string page, warnings;
    for (const char* manual : {"man1/korvaned.1", "man1/korvane.1", "man5/korvane.ini.5"}) {
        if (std::string(manual) == "man1/korvane.1" && !KORVANE_PACKAGE_HAS_WINDOW)
            continue;
        ASSERT_EQ(
            RunTool({"/bin/sh", "-c", "zcat \"$0\" | groff -man -Tutf8 -ww -P-cbou 2>&1 >/dev/null",
                     Root(std::string("/usr/share/man/") + manual + ".gz")},
                    &warnings),
            0);
        EXPECT_EQ(warnings, "") << manual;
    }
    ASSERT_EQ(RunTool({"/bin/sh", "-c", "zcat \"$0\" | groff -man -Tutf8 -P-cbou",
                       Root("/usr/share/man/man1/korvaned.1.gz")},
                      &page),
              0);
    for (const char* word :
         {"ONCE", "SRV", "PASSWORD", "INIT", "EXIT STATUS", "KORVANE_HOME", "Korvane.ini",
          "kvini.bak", "Language/kv*.ini", "LOG/KVSYS*.LOG", "LOG/KVTSF*.LOG", "SIGTERM", "SIGNALS",
          "journalctl", "--folder", "--version", "--help"})
        EXPECT_NE(page.find(word), std::string::npos) << word;
}

// lintian finds nothing but the tags accepted here, each for its reason
// (docs/linux.md says the same).
TEST_F(PackageTest, LintianReportsOnlyExplainedTags) {
    const std::map<std::string, std::string> accepted = {
        {"bogus-mail-host", "the maintainers have no public mail address yet"},
        {"bogus-mail-host-in-debian-changelog", "the same address, in the changelog"},
        {"maintainer-script-calls-systemctl",
         "the scripts stop and restart every instance of the template units by a pattern, "
         "which deb-systemd-invoke does not take"},
        {"uses-dpkg-database-directly",
         "the window's upgrade check reads whether the package manager installed it, to "
         "never upgrade such an installation by itself; it never writes there"},
        {"binary-has-unneeded-section", "the compiler's .comment, which CPack's strip keeps"},
        {"hardening-no-fortify-functions",
         "the build does not define _FORTIFY_SOURCE; its reads and writes are bounded by "
         "std::string and the tests run under AddressSanitizer instead"},
        {"spelling-error-in-binary",
         "\"Allow to ...\" are the Advance Preferences captions as designed; \"nam\" and "
         "\"wtH\" are bytes of code, not words"},
    };
    for (const std::string& deb : {gPackage->deb, gPackage->window}) {
        if (deb.empty())
            continue;
        std::string out;
        ASSERT_EQ(RunTool({"/usr/bin/lintian", "--no-cfg", "--fail-on", "none", "--display-level",
                           ">=pedantic", "--display-experimental", deb},
                          &out),
                  0)
            << out;
        // "E: korvaned: tag-name details", one line a finding.
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string level, package, tag;
            if (!(words >> level >> package >> tag) || level.size() != 2 || level[1] != ':')
                continue;
            EXPECT_TRUE(accepted.count(tag)) << line;
        }
    }
}

TEST_F(PackageTest, UnitFilesPassSystemdVerify) {
    // systemd-analyze verify checks that the commands exist and the manual
    // page named in Documentation= opens: give it the unpacked ones.
    TempDir units;
    for (const char* unit :
         {"korvaned@.service", "korvaned-once@.service", "korvaned-once@.timer"}) {
        std::string text = ReadFile(Root(std::string("/usr/lib/systemd/system/") + unit));
        EXPECT_NE(text.find("/usr/bin/korvaned") == std::string::npos,
                  std::string(unit).find(".service") != std::string::npos)
            << unit;
        kvtest::WriteFile(units / unit, WithKorvaned(text, Root("/usr/bin/korvaned")));
    }
    std::string out;
    int status = RunTool({"/usr/bin/env", "MANPATH=" + Root("/usr/share/man"),
                          "/usr/bin/systemd-analyze", "verify", units / "korvaned@acme.service",
                          units / "korvaned-once@acme.service", units / "korvaned-once@acme.timer"},
                         &out);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "");
    // The user unit is the one the window's "Install Service" writes, with
    // the packaged korvaned; systemd's user manager reads it without a fault.
    const std::string user = ReadFile(Root("/usr/lib/systemd/user/korvaned@.service"));
    EXPECT_EQ(user, kv::UserUnitText("/usr/bin/korvaned"));
    TempDir userUnits, runtime;
    ::chmod(runtime.path().c_str(), 0700);
    kvtest::WriteFile(userUnits / "korvaned@home-u-mail.service",
                      WithKorvaned(user, Root("/usr/bin/korvaned")));
    status = RunTool({"/usr/bin/env", "MANPATH=" + Root("/usr/share/man"),
                      "XDG_RUNTIME_DIR=" + runtime.path(), "/usr/bin/systemd-analyze", "--user",
                      "verify", userUnits / "korvaned@home-u-mail.service"},
                     &out);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "");
    // The options the program relies on.
    const std::string srv = ReadFile(units / "korvaned@.service");
    for (const char* option :
         {"Type=notify", "User=korvane", "Restart=on-failure", "RestartSec=", "KillSignal=SIGTERM",
          "ProtectSystem=strict", "PrivateTmp=yes", "NoNewPrivileges=yes", "ProtectHome=yes",
          "StateDirectory=korvane/%i"})
        EXPECT_NE(srv.find(option), std::string::npos) << option;
}

TEST_F(PackageTest, ServesAMailboxThroughTheUnitCommandLines) {
    // pyftpdlib with the listing of "folder/*.*" that the usual servers give.
    const char* source = std::getenv("KORVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "run through ctest";
    kvtest::PyFtpdServer server("pyftpdlib", std::string(source) + "/tests/engine/fault_ftpd.py",
                                "kvmail", "Kv-mail-pass");
    for (const char* folder : {"out", "in", "tmp"})
        server.makeDir(folder);
    server.writeFile("out/a.edi", "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    const std::string korvaned = Root("/usr/bin/korvaned");
    const std::string stateRoot = Root("/var/lib");
    const std::string home = stateRoot + "/korvane/acme";
    std::string out;

    // First start of korvaned-once@acme: INIT makes the folder from the template.
    UnitCommands once(Root("/usr/lib/systemd/system/korvaned-once@.service"), "acme", stateRoot,
                      korvaned);
    ASSERT_EQ(RunTool(once.startPre, &out), 0) << out;
    EXPECT_NE(out.find("korvaned PASSWORD"), std::string::npos) << out;
    EXPECT_NE(out.find("korvaned ONCE --folder " + home), std::string::npos) << out;
    EXPECT_EQ(ReadFile(home + "/Korvane.ini"), ReadFile(Root("/usr/share/korvane/Korvane.ini")));
    struct stat st {};
    ASSERT_EQ(::stat((home + "/Korvane.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(kv::FileExists(home + "/Language/kven.ini"));
    for (const char* folder : {"INBOX", "OUTBOX", "BACKUP", "ERROR", "TMP", "LOG"})
        EXPECT_TRUE(kv::DirectoryExists(home + "/" + folder)) << folder;

    ConfigureMailbox(home, server, korvaned, "10");
    const std::string configured = ReadFile(home + "/Korvane.ini");
    kvtest::WriteFile(home + "/OUTBOX/b.txt", "00:ORDERS:X:Y:ME:THEM:Z'\r\n");

    // Every later start: INIT leaves the mailbox exactly as it is.
    ASSERT_EQ(RunTool(once.startPre, &out), 0) << out;
    EXPECT_NE(out.find("nothing changed"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(home + "/Korvane.ini"), configured);

    // korvaned-once@acme: one cycle.
    ASSERT_EQ(RunTool(once.WithEnvironment(once.start, {}), &out), 0) << out;
    EXPECT_EQ(ReadFile(home + "/INBOX/a.edi"), "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    EXPECT_EQ(ReadFile(server.path("in/b.txt")), "00:ORDERS:X:Y:ME:THEM:Z'\r\n");
    EXPECT_FALSE(kv::FileExists(server.path("out/a.edi")));

    // korvaned@acme: SRV tells the listening socket it is ready, serves, says
    // how the cycle went, and on SIGTERM says it is stopping and ends with
    // status 0.
    UnitCommands srv(Root("/usr/lib/systemd/system/korvaned@.service"), "acme", stateRoot,
                     korvaned);
    ASSERT_EQ(RunTool(srv.startPre, &out), 0) << out;
    server.writeFile("out/c.edi", "00:INVOIC:X:Y:THEM:ME:C'\r\n");
    NotifySocket notify(gPackage->dir / "notify");
    kvtest::ChildProgram service(
        srv.WithEnvironment(srv.start, {"NOTIFY_SOCKET=" + (gPackage->dir / "notify")}), {},
        gPackage->dir / "srv.log");
    const std::string ready = notify.Next(30);
    EXPECT_EQ(ready.rfind("READY=1\n", 0), 0u) << ready;
    const bool received =
        kvtest::Eventually([&] { return kv::FileExists(home + "/INBOX/c.edi"); }, 300, 100);
    EXPECT_TRUE(received);
    // After the cycle, the line `systemctl status` shows.
    const std::string status = notify.Next(30);
    EXPECT_EQ(status.rfind("STATUS=Last cycle ", 0), 0u) << status;
    EXPECT_NE(status.find(": ok, 1 received, 0 sent; next "), std::string::npos) << status;
    service.signal(SIGTERM);
    EXPECT_EQ(notify.Next(30), "STOPPING=1");
    EXPECT_EQ(service.wait(30), 0) << ReadFile(gPackage->dir / "srv.log");
    auto log = kvtest::SysLogLines(home);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "INFO:Korvane System Close!");
}
