#pragma once
// Helpers of the window tests: a window whose boxes are recorded instead of
// shown, a program folder wired to a test server, bounded waits that keep
// the event loop running.
#include "FormKorvane.h"
#include "support/Servers.h"
#include "support/TestSupport.h"

#include <QString>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace kvtest {

class TestWindow : public kvgui::FormKorvane {
public:
    using kvgui::FormKorvane::FormKorvane;
    std::vector<QString> errors, boxes, questions;
    std::vector<kvgui::CycleNotice> notices;
    bool answer = true;
    // Runs inside each work event, after the window's own handler.
    std::function<void(kv::WorkDirection, int64_t)> onWork;

    bool AskYesNo(const QString& text) override {
        questions.push_back(text);
        return answer;
    }
    void ShowErrorBox(const QString& text) override { errors.push_back(text); }
    void ShowNoticeBox(const QString& text) override { boxes.push_back(text); }
    void ShowNotification(const kvgui::CycleNotice& notice) override { notices.push_back(notice); }
    void ShowMessageBox(const std::string& text) override {
        boxes.push_back(QString::fromStdString(text));
    }
    void OpenUrl(const QString&) override {}
    void FtpWork(kv::WorkDirection dir, int64_t total) override {
        kvgui::FormKorvane::FtpWork(dir, total);
        if (onWork)
            onWork(dir, total);
    }
};

// A program folder with the shipped language packs.
struct GuiHome {
    TempDir dir;
    GuiHome();
    std::string path(const std::string& name) const { return dir / name; }
    // Korvane.ini for the server (none: an unreachable port), with extra
    // "[Section]\r\nKey=Value" text appended.
    void Settings(const FtpServer* server, const std::string& extra = "");
    std::vector<std::string> SysLog() const; // lines without time stamps
    int Count(const std::string& line) const;
};

// Processes events until cond holds or limitMs passed; the last value of cond.
bool WaitFor(const std::function<bool()>& cond, int limitMs = 20000);

// A pyftpdlib server for the window tests, with a fresh "out", "in" and "tmp".
PyFtpdServer& FreshServer();

} // namespace kvtest
