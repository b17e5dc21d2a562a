#pragma once
// Helpers of the upgrade window tests: web servers shared by the binary, a
// trusted certificate while a test needs it, boxes answered by the test, and
// a window on a program folder whose updater is a recording stand-in.
#include "GuiTestSupport.h"
#include "UpgradeBoxes.h"
#include "support/WebServer.h"

#include <QSslConfiguration>
#include <string>
#include <vector>

namespace kvtest {

WebServer& SharedHttpServer();
WebServer& SharedHttpsServer();
// SHA-256 of a file the server publishes.
std::string ServedSha(const WebServer& web, const std::string& relative);

// While it lives, Qt trusts the certificate (as a system one would be).
class TrustCertificate {
public:
    explicit TrustCertificate(const std::string& pemPath);
    ~TrustCertificate();

private:
    QSslConfiguration saved_;
};

// What the boxes showed, one "kind|caption|text" entry each, and how they answer.
struct Answers {
    std::vector<std::string> shown;
    bool upgrade = true;     // "&Yes" (else "&Later")
    bool yes = true;         // Yes to a Yes / No question
    bool credentials = true; // a name and password given when asked
    std::string Joined() const;
};

class AnsweringBoxes : public kvgui::UpgradeBoxes {
public:
    explicit AnsweringBoxes(Answers& a) : a_(a) {}
    void Show(Kind kind, const QString& caption, const QString& text) override;
    bool AskUpgrade(const QString& caption, const QString& text) override;
    bool AskYesNo(const QString& caption, const QString& text) override;
    bool AskCredentials(const QString& host, const QString& realm, QString* user,
                        QString* password) override;
    void OpenUrl(const QString& url) override;

private:
    Answers& a_;
};

// A started window (message boxes on) on a program folder with a stand-in
// program "korvane" and, as its installed updater, a script that records its
// arguments and the process it is to wait for in "updater.txt".
struct UpgradeWindow {
    GuiHome home;
    TempDir tempRoot;
    Answers answers;
    TestWindow w;
    // With autoUpgrade, System/AutoUpgrade is "1": the start-up check runs
    // against infoUrl. messages: System/Message; args: the command line.
    explicit UpgradeWindow(const std::string& infoUrl, bool autoUpgrade = false,
                           bool messages = true, const std::vector<std::string>& args = {});
    // Check New Version against url with the answers cleared; false when it
    // did not end.
    bool Check(const std::string& url);
    // The recorded updater's arguments and "pid=" line, once it has run.
    std::vector<std::string> UpdaterRun() const;
};

} // namespace kvtest
