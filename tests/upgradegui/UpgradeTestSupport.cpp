#include "UpgradeTestSupport.h"

#include "UpgradeCheck.h"
#include "config/IniFile.h"
#include "upgrade/Sha256.h"

#include <QSslCertificate>
#include <cstdlib>
#include <sys/stat.h>

namespace kvtest {

WebServer& SharedHttpServer() {
    static WebServer s(false);
    return s;
}

WebServer& SharedHttpsServer() {
    static WebServer s(true);
    return s;
}

std::string ServedSha(const WebServer& web, const std::string& relative) {
    return kv::Sha256OfFile(web.root() + "/" + relative);
}

TrustCertificate::TrustCertificate(const std::string& pemPath)
    : saved_(QSslConfiguration::defaultConfiguration()) {
    QSslConfiguration trusting = saved_;
    trusting.addCaCertificates(QSslCertificate::fromPath(QString::fromStdString(pemPath)));
    QSslConfiguration::setDefaultConfiguration(trusting);
}

TrustCertificate::~TrustCertificate() {
    QSslConfiguration::setDefaultConfiguration(saved_);
}

std::string Answers::Joined() const {
    std::string all;
    for (const auto& s : shown)
        all += (all.empty() ? "" : "\n--\n") + s;
    return all;
}

void AnsweringBoxes::Show(Kind kind, const QString& caption, const QString& text) {
    a_.shown.push_back(std::string(kind == Kind::Information ? "info|" : "error|") +
                       caption.toStdString() + "|" + text.toStdString());
}

bool AnsweringBoxes::AskUpgrade(const QString& caption, const QString& text) {
    a_.shown.push_back("ask|" + caption.toStdString() + "|" + text.toStdString());
    return a_.upgrade;
}

bool AnsweringBoxes::AskYesNo(const QString& caption, const QString& text) {
    a_.shown.push_back("yesno|" + caption.toStdString() + "|" + text.toStdString());
    return a_.yes;
}

bool AnsweringBoxes::AskCredentials(const QString& host, const QString& realm, QString* user,
                                    QString* password) {
    a_.shown.push_back("password|" + host.toStdString() + "|" + realm.toStdString());
    *user = "kvupdate";
    *password = "Kv-update-7";
    return a_.credentials;
}

void AnsweringBoxes::OpenUrl(const QString& url) {
    a_.shown.push_back("open|" + url.toStdString());
}

UpgradeWindow::UpgradeWindow(const std::string& infoUrl, bool autoUpgrade, bool messages,
                             const std::vector<std::string>& args)
    : w((home.Settings(nullptr), home.dir.path())) {
    if (autoUpgrade)
        kv::IniFile(home.path("Korvane.ini")).WriteString("System", "AutoUpgrade", "1");
    if (!messages)
        kv::IniFile(home.path("Korvane.ini")).WriteString("System", "Message", "0");
    WriteFile(home.path("korvane"), "#!/bin/sh\nexit 0\n");
    WriteFile(home.path("Upgrader3"),
              "#!/bin/sh\nout=\"" + home.path("updater.txt") +
                  "\"\nfor a in \"$0\" \"$@\"; do echo \"$a\"; done > \"$out.tmp\"\n"
                  "echo \"pid=$KORVANE_UPGRADE_PID\" >> \"$out.tmp\"\nmv \"$out.tmp\" \"$out\"\n");
    ::chmod(home.path("korvane").c_str(), 0755);
    ::chmod(home.path("Upgrader3").c_str(), 0755);
    // The start-up check reads its URL at start-up; it starts once events run.
    ::setenv("KORVANE_INFO_URL", infoUrl.c_str(), 1);
    const bool started = w.StartUp(args);
    ::unsetenv("KORVANE_INFO_URL");
    if (!started)
        throw std::runtime_error("the window did not start");
    kvgui::UpgradeCheck& c = w.AutoUpgrader();
    c.locations = {home.path("korvane"), home.path("Upgrader3"), tempRoot.path(), home.dir.path()};
    c.SetBoxes(std::make_unique<AnsweringBoxes>(answers));
}

bool UpgradeWindow::Check(const std::string& url) {
    answers.shown.clear();
    kvgui::UpgradeCheck& c = w.AutoUpgrader();
    c.settings.infoFileUrl = url;
    w.m52Click();
    return WaitFor([&] { return !c.Running(); });
}

std::vector<std::string> UpgradeWindow::UpdaterRun() const {
    std::vector<std::string> lines;
    if (!WaitFor([&] { return Exists(home.path("updater.txt")); }))
        return lines;
    std::string text = ReadFile(home.path("updater.txt"));
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    return lines;
}

} // namespace kvtest
