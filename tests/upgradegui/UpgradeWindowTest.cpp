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
#include "upgrade/UpgradePlan.h"
#include "upgrade/WizardTexts.h"
#include "util/Fs.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <gtest/gtest.h>
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
    EXPECT_NE(list.find(" 8 Korvane.dat\n"), std::string::npos) << list;
    EXPECT_NE(list.find(" " + std::to_string(build.size()) + " korvane\n"), std::string::npos);
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

    // A full disk under the second file (its working file is a link to
    // /dev/full): stopped with the working file's path, and the file that
    // had arrived is deleted.
    web.write("full.inf", "#version=1.43\r\n#url=" + web.url("/kv/a.bin") +
                              "\r\n#url0=" + web.url("/kv/big.bin") + "\r\n");
    ASSERT_EQ(::symlink("/dev/full", u.home.path("big.bin.uTMP").c_str()), 0);
    EXPECT_TRUE(u.Check(web.url("/full.inf")));
    ASSERT_EQ(u.answers.shown.size(), 2u) << u.answers.Joined();
    EXPECT_EQ(u.answers.shown[1].rfind(
                  "error|Korvane|Cannot write " + u.home.path("big.bin.uTMP") + ": ", 0),
              0u)
        << u.answers.shown[1];
    EXPECT_FALSE(Exists(u.home.path("a.bin.uTMP")));
    ::unlink(u.home.path("big.bin.uTMP").c_str());

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
