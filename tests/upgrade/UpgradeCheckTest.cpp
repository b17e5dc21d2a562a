// The information file and the version decision: the published cases of the
// upgrade check, read from information files as the web server serves them.
#include "upgrade/Decision.h"
#include "upgrade/Failures.h"
#include "upgrade/HandOver.h"
#include "upgrade/InfoFile.h"
#include "upgrade/WizardTexts.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kv;

namespace {

UpgradeSettings Settings(MessageSet messages) {
    UpgradeSettings s;
    s.showMessages = messages;
    return s;
}

UpgradeDecision DecideText(const std::string& text, MessageSet messages = kManualCheckMessages) {
    return Decide(ParseInfoFile(text), Settings(messages), "Korvane", std::time(nullptr));
}

} // namespace

TEST(InfoFile, KeysIgnoreCaseFirstOccurrenceCountsAndValuesStopAtControlCharacters) {
    std::string text = "Korvane upgrade\r\n#VERSION=1.43\r\n#Url=http://h/kv/Korvane\r\n"
                       "#version=9.9\r\n#date=12/31/2005\tjunk\r\n#Method=1x\r\n";
    InfoFile info = ParseInfoFile(text);
    EXPECT_EQ(info.version, "1.43");
    EXPECT_EQ(info.date, "12/31/2005");
    EXPECT_EQ(info.method, 1);
    ASSERT_EQ(info.files.size(), 1u);
    EXPECT_EQ(info.files[0].url, "http://h/kv/Korvane");
    EXPECT_EQ(InfoValue(text, "missing"), "");

    UpgradeDecision d = DecideText(text);
    EXPECT_TRUE(d.available);
    EXPECT_TRUE(d.ask);
    EXPECT_FALSE(d.showNoUpdate);
    EXPECT_EQ(d.method, 1);
    // A missing key or value: method 0; "3" is not a method either.
    EXPECT_EQ(ParseInfoFile("#method=3").method, 0);
    EXPECT_EQ(ParseInfoFile("#method=").method, 0);
}

TEST(InfoFile, FileListAndChecksumsFollowTheNumberingRule) {
    auto urls = [](const std::string& text) {
        std::vector<std::string> out;
        for (const auto& f : ParseInfoFile(text).files)
            out.push_back(f.url + "|" + f.sha256);
        return out;
    };
    // url1 and url2 without url: two files, each with its own checksum key.
    EXPECT_EQ(urls("#url1=h/a\n#url2=h/b\n#sha2562= ABCDEF \n#sha2561=0123\n"),
              (std::vector<std::string>{"h/a|0123", "h/b|abcdef"}));
    // url and url1: one file, since the numbered keys then start at url2.
    EXPECT_EQ(urls("#url=h/a\n#url1=h/b\n#sha256=aa\n#sha2561=bb\n"),
              (std::vector<std::string>{"h/a|aa"}));
    // url, url0, then url3 (c = 2); url1 is never asked for; an empty url4 ends the list.
    EXPECT_EQ(urls("#url=h/a\n#url0=h/b\n#url1=h/x\n#url3=h/c\n#sha2560=bb\n#url4=\n#url5=h/y\n"),
              (std::vector<std::string>{"h/a|", "h/b|bb", "h/c|"}));
    EXPECT_TRUE(urls("#version=2\n").empty());
    // The list is bounded, however many keys a file holds.
    std::string many;
    for (int i = 1; i <= 150; ++i)
        many += "#url" + std::to_string(i) + "=h/f" + std::to_string(i) + "\n";
    EXPECT_EQ(ParseInfoFile(many).files.size(), kMaxInfoFiles);
}

TEST(InfoFile, OversizedFileIsRefused) {
    std::string text = "#version=9\n#url=h/a\n" + std::string(kMaxInfoFileBytes, 'x');
    EXPECT_FALSE(InfoFileSizeAllowed(static_cast<int64_t>(text.size())));
    try {
        ParseInfoFile(text);
        FAIL() << "an oversized information file was read";
    } catch (const UpgradeError& e) {
        EXPECT_EQ(std::string(e.what()), InfoFileTooLargeMessage());
    }
    EXPECT_NO_THROW(ParseInfoFile(text.substr(0, kMaxInfoFileBytes)));
}

TEST(VersionDecision, ByNumberFourPartsWithByteStringFallback) {
    EXPECT_TRUE(IsNewerByNumber("1.43", "1.42"));
    EXPECT_FALSE(IsNewerByNumber("1.42", "1.42"));
    EXPECT_FALSE(IsNewerByNumber("1.42.0.0", "1.42"));
    EXPECT_FALSE(IsNewerByNumber("1.5", "1.42")); // 5 < 42
    EXPECT_TRUE(IsNewerByNumber("1.100", "1.42"));
    EXPECT_TRUE(IsNewerByNumber("1.42.0.1", "1.42"));
    EXPECT_FALSE(IsNewerByNumber("1.41.9", "1.42"));
    EXPECT_TRUE(IsNewerByNumber("2.0beta", "1.42")); // decided before "0beta"
    EXPECT_TRUE(IsNewerByNumber("1.42b", "1.42"));   // byte strings: "1.42b" > "1.42"
    EXPECT_FALSE(IsNewerByNumber("1.41b", "1.42"));  // byte strings: "1.41b" < "1.42"
    EXPECT_FALSE(IsNewerByNumber("", "1.42"));
}

TEST(VersionDecision, ByDateUnreadableDateCountsAsToday) {
    std::time_t now = std::time(nullptr);
    EXPECT_TRUE(IsNewerByDate("12/31/2005", "10/10/2005", now));
    EXPECT_FALSE(IsNewerByDate("10/10/2005", "10/10/2005", now));
    EXPECT_FALSE(IsNewerByDate("1/2/2005", "10/10/2005", now));
    EXPECT_TRUE(IsNewerByDate("not a date", "10/10/2005", now));
    EXPECT_FALSE(IsNewerByDate("2/30/2099", "2/30/2099", now)); // both today

    UpgradeSettings s = Settings(kManualCheckMessages);
    s.versionControl = VersionControl::byDate;
    InfoFile info = ParseInfoFile("#version=0.1\n#date=11/01/2005\n#url=h/a\n");
    EXPECT_TRUE(Decide(info, s, "Korvane", now).available);
}

TEST(VersionDecision, NoUpdateBoxOnlyForManualCheckAndQuestionText) {
    std::string equal = "#version=1.42\n#url=http://h/a\n";
    UpgradeDecision manual = DecideText(equal, kManualCheckMessages);
    EXPECT_FALSE(manual.available);
    EXPECT_TRUE(manual.showNoUpdate);
    EXPECT_EQ(NoUpdateText(),
              "Newer version not found. You actually are\nusing most recent version of this "
              "program.");
    EXPECT_FALSE(DecideText(equal, kStartupCheckMessages).showNoUpdate);
    EXPECT_FALSE(DecideText(equal, 0).showNoUpdate);
    // Newer but no file to download: no upgrade either.
    EXPECT_TRUE(DecideText("#version=9\n", kManualCheckMessages).showNoUpdate);

    std::string threeLines = "#version=1.43\n#url=http://h/a\n"
                             "#message={Line one,\r\nline two,\r\nline three.}\n#x={y}";
    UpgradeDecision d = DecideText(threeLines, kStartupCheckMessages);
    EXPECT_TRUE(d.ask);
    EXPECT_EQ(d.question, "A newer version of Korvane was released.\n\nLine one,\r\nline two,\r\n"
                          "line three.\n\nDo you want to update your version with the latest "
                          "one?");
    EXPECT_EQ(AskUpgradeText("Korvane", ""), "A newer version of Korvane was released.\n\nDo you "
                                             "want to update your version with the latest one?");
    EXPECT_STREQ(kAskYesButton, "&Yes");
    EXPECT_STREQ(kAskLaterButton, "&Later");
    EXPECT_STREQ(kUpdateWizardCaption, "Application update wizard");
    EXPECT_FALSE(DecideText(threeLines, 0).ask); // message boxes off: no question

    // Method 2: the first URL goes to the browser, with http:// when it has no scheme.
    UpgradeDecision m2 = DecideText("#version=2\n#method=2\n#url1=www.h.org/get\n#url2=h/b\n");
    EXPECT_EQ(m2.method, 2);
    EXPECT_EQ(m2.browserUrl, "http://www.h.org/get");
    EXPECT_EQ(DecideText("#version=2\n#method=2\n#url=https://h/p\n").browserUrl, "https://h/p");
}

TEST(VersionDecision, InfoFileUrlChosenFromHost) {
    unsetenv("KORVANE_INFO_URL");
    EXPECT_EQ(ChooseInfoFileUrl("10.128.5.20"), kInternalInfoFileUrl);
    EXPECT_EQ(ChooseInfoFileUrl("10.12.8.5"), kPublicInfoFileUrl);
    EXPECT_EQ(ChooseInfoFileUrl(""), kPublicInfoFileUrl);
    EXPECT_EQ(std::string(kInternalInfoFileUrl).substr(0, 8), "https://");
    EXPECT_EQ(std::string(kPublicInfoFileUrl).substr(0, 8), "https://");
    EXPECT_NE(std::string(kInternalInfoFileUrl).find("/webfile/ediwebfile/download/kv/kv169.inf"),
              std::string::npos);
    setenv("KORVANE_INFO_URL", "https://127.0.0.1:8443/kv.inf", 1);
    EXPECT_EQ(ChooseInfoFileUrl("10.128.5.20"), "https://127.0.0.1:8443/kv.inf");
    unsetenv("KORVANE_INFO_URL");
}

TEST(UpgradeFailures, TableTextsKindsAndEffects) {
    const FailureRule& lost = RuleFor(UpgradeFailure::LostFile);
    EXPECT_TRUE(lost.question);
    EXPECT_EQ(FailureText(UpgradeFailure::LostFile, "kv.exe"),
              "File kv.exe not found or inaccessible.\n\nTry to skip this file and continue "
              "upgrade?");
    EXPECT_EQ(LostFileCaption(404), "Error #404");
    EXPECT_EQ(EffectWithoutYes(UpgradeFailure::LostFile), FailureEffect::AbortDeleteFiles);
    EXPECT_EQ(EffectWithoutYes(UpgradeFailure::ConnLost), FailureEffect::EndKeepFiles);
    EXPECT_EQ(FailureText(UpgradeFailure::HostUnreachable, "h.org"),
              "Host h.org unreachable.\n\nPlease check your Internet connection and\ntry to "
              "upgrade this software again later.");
    // The start-up check never announces an unreachable host or a missing information file.
    EXPECT_FALSE(MayShow(RuleFor(UpgradeFailure::HostUnreachable), kManualCheckMessages));
    EXPECT_FALSE(MayShow(RuleFor(UpgradeFailure::NoInfoFile), kManualCheckMessages));
    EXPECT_TRUE(MayShow(lost, kStartupCheckMessages));
    EXPECT_FALSE(MayShow(lost, 0));
    EXPECT_FALSE(MayShow(RuleFor(UpgradeFailure::PasswordCancelled), kManualCheckMessages));
    // Our own failures are always told, even with message boxes off.
    EXPECT_TRUE(MayShow(RuleFor(UpgradeFailure::ChecksumMismatch), 0));
    EXPECT_EQ(RuleFor(UpgradeFailure::ChecksumMismatch).effect, FailureEffect::AbortDeleteFiles);
}

TEST(UpgradeHandOver, CommandLineAndWizardTexts) {
    EXPECT_EQ(UpdaterCommandLine("/tmp/u/Upgrader3", "/opt/kv/korvane", "/afterupgrade", 0),
              "/tmp/u/Upgrader3 /opt/kv/korvane +/afterupgrade0");
    EXPECT_EQ(
        UpdaterArguments("/tmp/u/Upgrader3", "/opt/k v/korvane", "/afterupgrade", 1),
        (std::vector<std::string>{"/tmp/u/Upgrader3", "/opt/k v/korvane", "+/afterupgrade1"}));
    // The updater finds its own copy by this folder, however $TMPDIR is written.
    const char* savedTmp = std::getenv("TMPDIR");
    const std::string saved = savedTmp ? savedTmp : "";
    ::setenv("TMPDIR", "/var/tmp//", 1);
    EXPECT_EQ(TemporaryFolder(), "/var/tmp");
    if (savedTmp)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    EXPECT_EQ(DownloadingText(2, 3), "Downloading 2 of 3");
    EXPECT_EQ(FileSizeText(1536), "File size: 1.5 Kb");
    EXPECT_EQ(TransferRateText(2048), "Transfer rate: 2.0 Kb/s");
    EXPECT_EQ(TimeLeftText(3725), "Estimated time left: 1:02:05");
    EXPECT_EQ(SecondsLeft(0, 3000, 1000), 3);
    EXPECT_EQ(SecondsLeft(0, int64_t{1} << 29, 1e-12), 1000000000); // stalled: bounded
    EXPECT_EQ(OverallPercent(2, 3, 50), 33 + 16);
    EXPECT_EQ(OverallPercent(1, 1, 100), 100);
}
