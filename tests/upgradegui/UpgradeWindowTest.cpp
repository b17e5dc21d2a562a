// The window's upgrade check against web servers on 127.0.0.1: the decision
// boxes of the start-up and the manual check, the download wizard with the
// hand-over to a recording stand-in for the updater, and every way a
// transfer can fail (a missing file, a dropped connection, a damaged file,
// an untrusted certificate). The boxes are answered by the test.
#include "UpgradeTestSupport.h"

#include "UpgradeCheck.h"
#include "UpgradeWizard.h"
#include "upgrade/Failures.h"
#include "upgrade/InfoFile.h"
#include "upgrade/InstalledRecord.h"
#include "upgrade/Layout.h"
#include "upgrade/Sha256.h"
#include "upgrade/UpgradePlan.h"
#include "upgrade/WizardTexts.h"
#include "util/Fs.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kvtest;

namespace {

QString WizardText(kvgui::UpgradeCheck& c, const char* label) {
    return c.Wizard()->findChild<QLabel*>(label)->text();
}
int WizardBar(kvgui::UpgradeCheck& c, const char* bar) {
    return c.Wizard()->findChild<QProgressBar*>(bar)->value();
}

} // namespace

TEST(UpgradeWindow, NewerBuildOverHttpsIsAskedForDownloadedVerifiedAndHandedOver) {
    WebServer& web = SharedHttpsServer();
    TrustCertificate trust(web.certificate());
    const std::string build(300 * 1024 + 17, 'k');
    web.write("kv/Korvane.dat", "new data");
    web.write("kv/korvane", build);
    web.write("kv/kv.inf", "#VERSION=1.43\r\n#URL=" + web.url("/kv/Korvane.dat") +
                               "\r\n#Url0=" + web.url("/kv/korvane") +
                               "\r\n#sha256=" + ServedSha(web, "kv/Korvane.dat") +
                               "\r\n#SHA2560=" + ServedSha(web, "kv/korvane") +
                               "\r\n#message={Line one\r\nLine two\r\nLine three}\r\n");
    UpgradeWindow u(web.url("/kv/kv.inf"));
    bool closed = false;
    QObject::connect(&u.w, &kvgui::FormKorvane::Closed, [&] { closed = true; });

    u.w.m52Click();
    u.w.m52Click(); // a check is running: the second click does nothing
    ASSERT_TRUE(WaitFor([&] { return closed; })) << u.answers.Joined();

    // One question, with the three-line message whole; no other box.
    ASSERT_EQ(u.answers.shown.size(), 1u) << u.answers.Joined();
    EXPECT_EQ(u.answers.shown[0],
              "ask|Application update wizard|" +
                  kv::AskUpgradeText("Korvane", "Line one\r\nLine two\r\nLine three"));
    // The wizard ends on the last file, complete.
    kvgui::UpgradeCheck& c = u.w.AutoUpgrader();
    ASSERT_NE(c.Wizard(), nullptr);
    EXPECT_EQ(WizardText(c, "Lbl_Url"), QString::fromStdString(web.url("/kv/korvane")));
    EXPECT_EQ(WizardText(c, "Lbl_Downloading"), "Download complete.");
    EXPECT_EQ(WizardText(c, "Lbl_FileSize"),
              QString::fromStdString(kv::FileSizeText(static_cast<int64_t>(build.size()))));
    EXPECT_EQ(WizardBar(c, "Bar_Current"), 100);
    EXPECT_EQ(WizardBar(c, "Bar_Overall"), 100);

    // The working files beside the program, the list of what arrived, and
    // the updater's copy started with the program and "+/afterupgrade0".
    EXPECT_EQ(ReadFile(u.home.path("korvane.uTMP")), build);
    EXPECT_EQ(ReadFile(u.home.path("Korvane.dat.uTMP")), "new data");
    const std::string list = ReadFile(u.home.path(kv::kArrivedListName));
    EXPECT_NE(list.find(" 8 bin Korvane.dat\n"), std::string::npos) << list;
    EXPECT_NE(list.find(" " + std::to_string(build.size()) + " bin korvane\n"), std::string::npos);
    const std::vector<std::string> run = u.UpdaterRun();
    ASSERT_EQ(run.size(), 4u);
    EXPECT_EQ(kv::FolderOf(kv::FolderOf(run[0])), u.tempRoot.path());
    EXPECT_EQ(kv::FileNameOf(run[0]), "Upgrader3");
    EXPECT_EQ(run[1], u.home.path("korvane"));
    EXPECT_EQ(run[2], "+/afterupgrade0");
    EXPECT_EQ(run[3], "pid=" + std::to_string(::getpid()));
    // The window closed through its close sequence.
    EXPECT_EQ(u.home.SysLog().back(), "INFO:Korvane System Close!");
}

TEST(UpgradeWindow, DecisionBoxesOfTheStartUpAndTheManualCheck) {
    WebServer& web = SharedHttpServer();
    web.write("same.inf", "#version=1.42\r\n#url=" + web.url("/kv/korvane") + "\r\n");
    // Start-up check (System/AutoUpgrade = "1"): equal version, no box.
    UpgradeWindow u(web.url("/same.inf"), true);
    EXPECT_EQ(u.home.Count("INFO:System Auto Upgrade Check!"), 1);
    ASSERT_TRUE(WaitFor([&] { return !u.w.AutoUpgrader().Running(); }));
    EXPECT_TRUE(u.answers.shown.empty()) << u.answers.Joined();

    // The manual check says so.
    EXPECT_TRUE(u.Check(web.url("/same.inf")));
    EXPECT_EQ(u.answers.Joined(), "info|Korvane|" + kv::NoUpdateText());

    // "&Later" ends the check: nothing downloaded.
    web.write("newer.inf", "#version=1.42b\r\n#url=" + web.url("/kv/korvane") + "\r\n");
    u.answers.upgrade = false;
    EXPECT_TRUE(u.Check(web.url("/newer.inf")));
    EXPECT_EQ(u.answers.Joined(),
              "ask|Application update wizard|" + kv::AskUpgradeText("Korvane", ""));
    EXPECT_FALSE(Exists(u.home.path("korvane.uTMP")));

    // A program folder this user cannot write (installed by root): said so
    // before the question, nothing downloaded.
    TempDir installed;
    ASSERT_EQ(::chmod(installed.path().c_str(), 0555), 0);
    {
        NoFileAccessOverride asUser;
        u.w.AutoUpgrader().locations.programPath = installed / "korvane";
        EXPECT_TRUE(u.Check(web.url("/newer.inf")));
        u.w.AutoUpgrader().locations.programPath = u.home.path("korvane");
    }
    ::chmod(installed.path().c_str(), 0755);
    EXPECT_EQ(u.answers.Joined(),
              "error|Korvane|" +
                  kv::FailureText(kv::UpgradeFailure::FolderNotWritable, installed.path()));

    // Method 2: the first URL opens in the browser, "http://" put in front.
    web.write("method2.inf", "#version=2.0beta\r\n#url1=127.0.0.1/kv/setup.run\r\n"
                             "#url2=127.0.0.1/kv/other.run\r\n#method=2\r\n");
    u.answers.upgrade = true;
    EXPECT_TRUE(u.Check(web.url("/method2.inf")));
    ASSERT_EQ(u.answers.shown.size(), 2u) << u.answers.Joined();
    EXPECT_EQ(u.answers.shown[1], "open|http://127.0.0.1/kv/setup.run");
    EXPECT_FALSE(Exists(u.home.path("setup.run.uTMP")));

    // A missing information file is never announced; one past the size
    // limit is refused with a message.
    EXPECT_TRUE(u.Check(web.url("/nothing-here.inf")));
    EXPECT_EQ(u.answers.Joined(), "");
    web.write("huge.inf", "#version=9\r\n" + std::string(kv::kMaxInfoFileBytes, '#'));
    EXPECT_TRUE(u.Check(web.url("/huge.inf")));
    EXPECT_EQ(u.answers.Joined(), "error|Korvane|" + kv::InfoFileTooLargeMessage());
}

TEST(UpgradeWindow, MissingFileIsSkippedOnYesAndAbortsOnNo) {
    WebServer& web = SharedHttpServer();
    web.write("kv/a.bin", "first");
    web.write("kv/c.bin", "third, behind a password");
    const std::string info = "#version=1.43\r\n#url1=" + web.url("/kv/a.bin") +
                             "\r\n#url2=" + web.url("/kv/missing.bin") +
                             "\r\n#url3=" + web.url("/auth/kv/c.bin") + "\r\n";
    web.write("lost.inf", info);
    const std::string question =
        "yesno|Error #404|" + kv::FailureText(kv::UpgradeFailure::LostFile, "missing.bin");
    {
        // No: the upgrade ends and the file that had arrived is deleted.
        UpgradeWindow u(web.url("/lost.inf"));
        u.answers.yes = false;
        EXPECT_TRUE(u.Check(web.url("/lost.inf")));
        ASSERT_EQ(u.answers.shown.size(), 2u) << u.answers.Joined();
        EXPECT_EQ(u.answers.shown[1], question);
        EXPECT_FALSE(Exists(u.home.path("a.bin.uTMP")));
        EXPECT_FALSE(Exists(u.home.path("missing.bin.uTMP")));
        EXPECT_FALSE(Exists(u.home.path("updater.txt")));
    }
    // Yes: skipped; the next file asks for the server's password and arrives;
    // the updater gets the two that arrived.
    UpgradeWindow u(web.url("/lost.inf"));
    bool closed = false;
    QObject::connect(&u.w, &kvgui::FormKorvane::Closed, [&] { closed = true; });
    u.w.m52Click();
    ASSERT_TRUE(WaitFor([&] { return closed; })) << u.answers.Joined();
    ASSERT_EQ(u.answers.shown.size(), 3u) << u.answers.Joined();
    EXPECT_EQ(u.answers.shown[1], question);
    EXPECT_EQ(u.answers.shown[2], "password|127.0.0.1|upgrades");
    EXPECT_EQ(ReadFile(u.home.path("c.bin.uTMP")), "third, behind a password");
    EXPECT_FALSE(Exists(u.home.path("missing.bin.uTMP")));
    const std::string list = ReadFile(u.home.path(kv::kArrivedListName));
    EXPECT_NE(list.find(" a.bin\n"), std::string::npos) << list;
    EXPECT_NE(list.find(" c.bin\n"), std::string::npos) << list;
    EXPECT_EQ(list.find("missing"), std::string::npos) << list;
    EXPECT_EQ(u.UpdaterRun().size(), 4u);
}

TEST(UpgradeWindow, BrokenTransfersStopTheUpgradeAndSaySo) {
    WebServer& web = SharedHttpServer();
    web.write("kv/a.bin", "first");
    web.write("kv/big.bin", std::string(200000, 'b'));
    UpgradeWindow u(web.url("/none.inf"));

    // The connection drops in the middle of the second file: the upgrade
    // ends, the working files stay for the next try.
    web.write("drop.inf", "#version=1.43\r\n#url=" + web.url("/kv/a.bin") +
                              "\r\n#url0=" + web.url("/drop/kv/big.bin") + "\r\n");
    EXPECT_TRUE(u.Check(web.url("/drop.inf")));
    ASSERT_EQ(u.answers.shown.size(), 2u) << u.answers.Joined();
    EXPECT_EQ(u.answers.shown[1],
              "error|Korvane|" + kv::FailureText(kv::UpgradeFailure::ConnLost, ""));
    EXPECT_EQ(ReadFile(u.home.path("a.bin.uTMP")), "first");
    EXPECT_FALSE(Exists(u.home.path(kv::kArrivedListName)));

    // Half way through the second file: the wizard shows where it is, and
    // Cancel aborts and deletes the working files.
    web.write("hold.inf", "#version=1.43\r\n#url=" + web.url("/kv/a.bin") +
                              "\r\n#url0=" + web.url("/hold/kv/big.bin") + "\r\n");
    u.answers.shown.clear();
    u.w.AutoUpgrader().settings.infoFileUrl = web.url("/hold.inf");
    u.w.m52Click();
    kvgui::UpgradeCheck& c = u.w.AutoUpgrader();
    ASSERT_TRUE(WaitFor([&] { return c.Wizard() && WizardBar(c, "Bar_Current") == 50; }))
        << (c.Wizard() ? WizardText(c, "Lbl_Downloading").toStdString() + " " +
                             std::to_string(WizardBar(c, "Bar_Current"))
                       : "no wizard")
        << u.answers.Joined();
    EXPECT_EQ(WizardText(c, "Lbl_Url"), QString::fromStdString(web.url("/hold/kv/big.bin")));
    EXPECT_EQ(WizardText(c, "Lbl_Downloading"), "Downloading 2 of 2");
    EXPECT_EQ(WizardText(c, "Lbl_FileSize"), "File size: 195.3 Kb");
    EXPECT_TRUE(WizardText(c, "Lbl_TransferRate").startsWith("Transfer rate: "));
    EXPECT_EQ(WizardBar(c, "Bar_Overall"), 75);
    c.Wizard()->findChild<QPushButton*>("Btn_Cancel")->click();
    ASSERT_TRUE(WaitFor([&] { return !c.Running(); }));
    EXPECT_EQ(u.answers.shown.size(), 1u) << u.answers.Joined();
    EXPECT_FALSE(Exists(u.home.path("a.bin.uTMP")));
    EXPECT_FALSE(Exists(u.home.path("big.bin.uTMP")));

    // A file that differs from its published checksum: stopped, and every
    // working file is deleted.
    web.write("damaged.inf", "#version=1.43\r\n#url=" + web.url("/kv/a.bin") +
                                 "\r\n#url0=" + web.url("/kv/big.bin") +
                                 "\r\n#sha2560=" + ServedSha(web, "kv/a.bin") + "\r\n");
    EXPECT_TRUE(u.Check(web.url("/damaged.inf")));
    ASSERT_EQ(u.answers.shown.size(), 2u) << u.answers.Joined();
    EXPECT_EQ(u.answers.shown[1],
              "error|Korvane|" + kv::FailureText(kv::UpgradeFailure::ChecksumMismatch, "big.bin"));
    EXPECT_FALSE(Exists(u.home.path("a.bin.uTMP")));
    EXPECT_FALSE(Exists(u.home.path("big.bin.uTMP")));

    // No room for the second file (a file size limit stands in for a full
    // disk): stopped with the working file's path, and the file that had
    // arrived is deleted.
    web.write("full.inf", "#version=1.43\r\n#url=" + web.url("/kv/a.bin") +
                              "\r\n#url0=" + web.url("/kv/big.bin") + "\r\n");
    {
        struct rlimit saved {};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        struct rlimit small = saved;
        small.rlim_cur = 100000;
        auto* oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &small);
        EXPECT_TRUE(u.Check(web.url("/full.inf")));
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, oldHandler);
    }
    ASSERT_EQ(u.answers.shown.size(), 2u) << u.answers.Joined();
    EXPECT_EQ(u.answers.shown[1].rfind(
                  "error|Korvane|Cannot write " + u.home.path("big.bin.uTMP") + ": ", 0),
              0u)
        << u.answers.shown[1];
    EXPECT_FALSE(Exists(u.home.path("a.bin.uTMP")));
    EXPECT_FALSE(Exists(u.home.path("big.bin.uTMP")));

    // The password dialog cancelled: aborted as a No, nothing announced.
    web.write("guarded.inf", "#version=1.43\r\n#url=" + web.url("/kv/a.bin") +
                                 "\r\n#url0=" + web.url("/auth/kv/big.bin") + "\r\n");
    u.answers.credentials = false;
    EXPECT_TRUE(u.Check(web.url("/guarded.inf")));
    EXPECT_EQ(u.answers.Joined(), "ask|Application update wizard|" +
                                      kv::AskUpgradeText("Korvane", "") +
                                      "\n--\npassword|127.0.0.1|upgrades");
    EXPECT_FALSE(Exists(u.home.path("a.bin.uTMP")));

    // A server whose certificate is not trusted: refused with a clear
    // message before anything is read.
    WebServer& tls = SharedHttpsServer();
    tls.write("kv.inf", "#version=9\r\n#url=" + tls.url("/kv/a.bin") + "\r\n");
    EXPECT_TRUE(u.Check(tls.url("/kv.inf")));
    ASSERT_EQ(u.answers.shown.size(), 1u) << u.answers.Joined();
    EXPECT_EQ(
        u.answers.shown[0].rfind("error|Korvane|The secure connection to 127.0.0.1 failed", 0), 0u)
        << u.answers.shown[0];
    EXPECT_FALSE(Exists(u.home.path("updater.txt")));
}

TEST(UpgradeWindow, HostileListsAreRefusedBeforeAnythingIsDownloaded) {
    WebServer& web = SharedHttpServer();
    UpgradeWindow u(web.url("/none.inf"));
    const std::string settings = ReadFile(u.home.path("Korvane.ini"));
    web.write("kv/Korvane.ini", "[Options]\r\nUserID=\r\nPassword=\r\n");
    web.write("kv/korvane", "#!/bin/sh\n");
    struct Case {
        std::string inf;
        std::string refusal; // the start of the error box's text
    };
    const std::vector<Case> cases = {
        // The user's settings, with the right checksum.
        {"#version=1.43\r\n#url=" + web.url("/kv/korvane") + "\r\n#url0=" +
             web.url("/kv/Korvane.ini") + "\r\n#sha2560=" + ServedSha(web, "kv/Korvane.ini"),
         "The upgrade information names Korvane.ini, the settings file of this program"},
        {"#version=1.43\r\n#url=" + web.url("/kv/korvane") + "\r\n#url0=file:///etc/hostname",
         "The upgrade information names file:///etc/hostname, which is not an HTTP or HTTPS "
         "address"},
        {"#version=1.43\r\n#method=2\r\n#url=file:///etc/passwd",
         "The upgrade information names file:///etc/passwd, which is not an HTTP or HTTPS"},
        // No server: read as a path on an empty host, and never offered.
        {"#version=1.43\r\n#url=" + web.url("/kv/korvane") + "\r\n#url0=/etc/passwd",
         "The upgrade information names /etc/passwd, which names no server"},
        {"#version=1.43\r\n#url=http:///x", "The upgrade information names http:///x, which "
                                            "names no server"},
        {"#version=1.43\r\n#url=" + web.url("/kv/korvane") + "\r\n#url0=https://user@:443/x",
         "The upgrade information names https://user@:443/x, which names no server"},
    };
    for (const Case& c : cases) {
        web.write("hostile.inf", c.inf);
        EXPECT_TRUE(u.Check(web.url("/hostile.inf")));
        ASSERT_EQ(u.answers.shown.size(), 1u) << u.answers.Joined();
        EXPECT_EQ(u.answers.shown[0].rfind("error|Korvane|" + c.refusal, 0), 0u)
            << u.answers.shown[0];
        EXPECT_EQ(kv::ListFolder(u.home.dir.path(), "*.uTMP"), std::vector<std::string>{});
        EXPECT_EQ(ReadFile(u.home.path("Korvane.ini")), settings);
        // Said in the log too.
        EXPECT_EQ(u.home.SysLog().back().rfind("ERROR:" + c.refusal, 0), 0u)
            << u.home.SysLog().back();
    }

    // An installation of the package manager never upgrades itself, whoever
    // runs it: these tests run as root, who may write anywhere.
    TempDir db;
    WriteFile(db / "korvane.list", "/.\n" + u.home.path("korvane") + "\n");
    web.write("plain.inf", "#version=1.43\r\n#url=" + web.url("/kv/korvane") + "\r\n");
    u.w.AutoUpgrader().locations.packageDatabase = db.path();
    EXPECT_TRUE(u.Check(web.url("/plain.inf")));
    u.w.AutoUpgrader().locations.packageDatabase = kv::kPackageDatabase;
    EXPECT_EQ(u.answers.Joined(),
              "error|Korvane|" +
                  kv::FailureText(kv::UpgradeFailure::PackageManaged, u.home.path("korvane")));
    EXPECT_FALSE(Exists(u.home.path("korvane.uTMP")));

    // A working file that is a link to a file outside is replaced, never
    // written through.
    TempDir outside;
    WriteFile(outside / "mine.txt", "the user's own file");
    ASSERT_EQ(::symlink((outside / "mine.txt").c_str(), u.home.path("korvane.uTMP").c_str()), 0);
    bool closed = false;
    QObject::connect(&u.w, &kvgui::FormKorvane::Closed, [&] { closed = true; });
    u.answers.shown.clear();
    u.w.AutoUpgrader().settings.infoFileUrl = web.url("/plain.inf");
    u.w.m52Click();
    ASSERT_TRUE(WaitFor([&] { return closed; })) << u.answers.Joined();
    EXPECT_EQ(ReadFile(outside / "mine.txt"), "the user's own file");
    EXPECT_EQ(ReadFile(u.home.path("korvane.uTMP")), "#!/bin/sh\n");
    EXPECT_EQ(u.UpdaterRun().size(), 4u);
}

// A redirect out of the web is refused and said as such, never taken for a
// lost connection; a download redirected so leaves no working file.
TEST(UpgradeWindow, RedirectsToOtherThanTheWebAreRefusedAndSaid) {
    WebServer& web = SharedHttpServer();
    web.write("kv/a.bin", "first");
    UpgradeWindow u(web.url("/none.inf"));
    const std::string refused = ", which is not an HTTP or HTTPS address with a server, so it was "
                                "refused and nothing was downloaded.";
    for (const std::string target :
         {"file:///etc/hostname", "ftp://127.0.0.1/kv.bin", "http:///kv.bin"}) {
        const std::string redirect =
            web.url("/redirect?to=" +
                    QUrl::toPercentEncoding(QString::fromStdString(target)).toStdString());
        // The information file.
        EXPECT_TRUE(u.Check(redirect));
        ASSERT_EQ(u.answers.shown.size(), 1u) << target << ": " << u.answers.Joined();
        EXPECT_EQ(u.answers.shown[0], "error|Korvane|The server 127.0.0.1 sent the upgrade check "
                                      "on to " +
                                          target + refused +
                                          "\n\nPlease try to upgrade this software again later.")
            << target;
        // A download, after a file that arrived: the upgrade stops, and no
        // working file stays.
        web.write("redirected.inf", "#version=1.43\r\n#url=" + web.url("/kv/a.bin") +
                                        "\r\n#url0=" + redirect + "\r\n");
        EXPECT_TRUE(u.Check(web.url("/redirected.inf")));
        ASSERT_FALSE(u.answers.shown.empty()) << target;
        EXPECT_NE(u.answers.shown.back().find("on to " + target + refused), std::string::npos)
            << u.answers.Joined();
        EXPECT_EQ(kv::ListFolder(u.home.dir.path(), "*.uTMP"), std::vector<std::string>{})
            << target;
        EXPECT_NE(u.home.SysLog().back().find(target + refused), std::string::npos)
            << u.home.SysLog().back();
    }
}

TEST(UpgradeWindow, MethodTwoOpensNothingUnasked) {
    WebServer& web = SharedHttpServer();
    web.write("m2.inf", "#version=2.0\r\n#method=2\r\n#url=127.0.0.1/kv/setup.run\r\n");
    // The start-up check with message boxes off: no question, so no browser;
    // the log says where the new version is.
    UpgradeWindow u(web.url("/m2.inf"), true, false);
    ASSERT_TRUE(WaitFor([&] { return !u.w.AutoUpgrader().Running(); }));
    EXPECT_TRUE(u.answers.shown.empty()) << u.answers.Joined();
    EXPECT_EQ(u.home.Count("INFO:" + kv::BrowserOnlyText("http://127.0.0.1/kv/setup.run")), 1);
}

TEST(UpgradeWindow, AChecksThatTricklesEndsAndTheNextOneRuns) {
    WebServer& web = SharedHttpServer();
    web.write("slow.inf", "#version=1.42\r\n#url=" + web.url("/kv/korvane") + "\r\n");
    web.write("kv/big.bin", std::string(200000, 'b'));
    UpgradeWindow u(web.url("/none.inf"));
    kvgui::UpgradeCheck& c = u.w.AutoUpgrader();
    // One byte every half second never stalls for long, but the whole check
    // has a deadline (shortened here).
    c.infoLimits.deadlineMs = 1500;
    EXPECT_TRUE(u.Check(web.url("/trickle/slow.inf")));
    EXPECT_EQ(u.answers.Joined(),
              "error|Korvane|" + kv::FailureText(kv::UpgradeFailure::ConnLost, ""));
    // Check New Version works again at once.
    web.write("same.inf", "#version=1.42\r\n#url=" + web.url("/kv/korvane") + "\r\n");
    EXPECT_TRUE(u.Check(web.url("/same.inf")));
    EXPECT_EQ(u.answers.Joined(), "info|Korvane|" + kv::NoUpdateText());

    // A download must bring some bytes in every window of time.
    c.downloadLimits.rateWindowMs = 1500;
    c.downloadLimits.minWindowBytes = 1024;
    web.write("trickle.inf", "#version=1.43\r\n#url=" + web.url("/trickle/kv/big.bin") + "\r\n");
    EXPECT_TRUE(u.Check(web.url("/trickle.inf")));
    ASSERT_EQ(u.answers.shown.size(), 2u) << u.answers.Joined();
    EXPECT_EQ(u.answers.shown[1],
              "error|Korvane|" + kv::FailureText(kv::UpgradeFailure::ConnLost, ""));
}

TEST(UpgradeWindow, AnUpgradeThatDidNotRaiseTheVersionIsSaidOnceAndNotFetchedAgain) {
    WebServer& web = SharedHttpServer();
    const std::string inf = "#version=1.43\r\n#url=" + web.url("/kv/notes.txt") + "\r\n";
    web.write("kv/notes.txt", "notes");
    web.write("typo.inf", inf);
    // The updater put this very upgrade in place while the program was 1.42.
    UpgradeWindow u(web.url("/none.inf"));
    kv::WriteInstalledRecord(u.home.dir.path(),
                             {kv::Sha256OfText(inf), kv::VersionIdentity("1.42", "10/10/2005")});
    EXPECT_TRUE(u.Check(web.url("/typo.inf")));
    EXPECT_EQ(u.answers.Joined(), "error|Korvane|" + kv::NotRaisedText("1.43", "1.42"));
    EXPECT_FALSE(Exists(u.home.path("notes.txt.uTMP")));
    EXPECT_TRUE(u.Check(web.url("/typo.inf")));
    EXPECT_EQ(u.answers.Joined(), "");
    EXPECT_FALSE(Exists(u.home.path("notes.txt.uTMP")));
    // Once the published information changes, the upgrade is offered again.
    web.write("typo.inf", inf + "#message={fixed}\r\n");
    u.answers.upgrade = false;
    EXPECT_TRUE(u.Check(web.url("/typo.inf")));
    EXPECT_EQ(u.answers.Joined(),
              "ask|Application update wizard|" + kv::AskUpgradeText("Korvane", "fixed"));

    // The start the updater makes does not check at once.
    UpgradeWindow restarted(web.url("/typo.inf"), true, true, {"/afterupgrade"});
    EXPECT_EQ(restarted.home.Count("INFO:System Auto Upgrade Check!"), 0);
    EXPECT_FALSE(restarted.w.AutoUpgrader().Running());
}
