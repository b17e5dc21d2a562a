// The window against a real FTP server (pyftpdlib): menu states through
// connect, receive and disconnect, the trace, the keep-alive, automatic mode,
// and a close while a transfer runs.
#include "GuiTestSupport.h"
#include "config/IniFile.h"
#include "config/WnDes.h"
#include "util/Fs.h"

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>

using namespace kvtest;

namespace {

QStringList Lines(QWidget& w, const char* list) {
    QStringList out;
    auto* l = w.findChild<QListWidget*>(list);
    for (int i = 0; i < l->count(); ++i)
        out << l->item(i)->text();
    return out;
}

bool Enabled(QWidget& w, const char* item) {
    return w.findChild<QAction*>(item)->isEnabled();
}

int CountWire(const PyFtpdServer& s, const std::string& command) {
    auto wire = s.wireLog();
    return static_cast<int>(std::count(wire.begin(), wire.end(), command));
}

} // namespace

TEST(GuiSession, MenuStatesTraceAndKeepAliveThroughConnectReceiveDisconnect) {
    PyFtpdServer& s = FreshServer();
    const std::string content(300000, 'x');
    s.writeFile("out/a.edi", "00:INVOIC:X:Y:THEM:ME:Z'\r\n" + content);
    GuiHome h;
    h.Settings(&s);
    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    w.ShowAfterStartUp();

    w.findChild<QAction*>("m12")->trigger(); // Connect
    ASSERT_EQ(w.CurrentMenuState(), kvgui::MenuState::Connected)
        << Lines(w, "LogListBox").join("\n").toStdString();
    EXPECT_FALSE(Enabled(w, "m11"));
    EXPECT_FALSE(Enabled(w, "m12"));
    for (const char* item : {"m13", "m14", "m15", "m16"})
        EXPECT_TRUE(Enabled(w, item)) << item;
    // The trace shows the login with the password masked, and never in clear.
    const QStringList trace = Lines(w, "DebugListBox");
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const QString& l) {
        return l.endsWith(": Sent: pass ********");
    })) << trace.join("\n").toStdString();
    for (const QString& l : trace)
        EXPECT_FALSE(l.contains(QString::fromStdString(s.password())));
    EXPECT_TRUE(w.KeepAliveActive());

    // Keep-alive: NOOP while idle and connected.
    w.SetKeepAliveInterval(150);
    w.StartKeepAlive();
    EXPECT_TRUE(WaitFor([&] { return CountWire(s, "NOOP") >= 2; }));

    // Receive Only: the menus and the button take no input and the menus are
    // Busy while it runs, but the views are not greyed and still scroll; the
    // progress and speed show; then the Disconnect command follows.
    bool sawBusy = true, sawDisabled = true, sawReadable = true, sawSpeed = false;
    w.onWork = [&](kv::WorkDirection, int64_t) {
        sawBusy = sawBusy && w.CurrentMenuState() == kvgui::MenuState::Busy;
        sawDisabled = sawDisabled && !w.menuBar()->isEnabled() &&
                      !w.findChild<QPushButton*>("Button1")->isEnabled();
        for (const char* view : {"LogListBox", "DebugListBox"}) {
            auto* list = w.findChild<QListWidget*>(view);
            sawReadable = sawReadable && list->isEnabled() &&
                          list->verticalScrollBar()->isEnabled() &&
                          list->editTriggers() == QAbstractItemView::NoEditTriggers;
        }
        sawSpeed =
            sawSpeed || w.findChild<QLabel*>("StatusPanel2")->text().startsWith("Download speed ");
    };
    w.findChild<QAction*>("m14")->trigger();
    EXPECT_TRUE(sawBusy);
    EXPECT_TRUE(sawDisabled);
    EXPECT_TRUE(sawReadable);
    EXPECT_TRUE(sawSpeed) << Lines(w, "LogListBox").join("\n").toStdString();
    EXPECT_EQ(ReadFile(h.path("INBOX/a.edi")), "00:INVOIC:X:Y:THEM:ME:Z'\r\n" + content);
    EXPECT_FALSE(Exists(s.path("out/a.edi")));
    EXPECT_EQ(w.CurrentMenuState(), kvgui::MenuState::Idle);
    EXPECT_TRUE(Enabled(w, "m11"));
    EXPECT_FALSE(Enabled(w, "m14"));
    EXPECT_TRUE(w.menuBar()->isEnabled());
    EXPECT_FALSE(w.KeepAliveActive());
    EXPECT_EQ(w.findChild<QProgressBar*>("ProgressBar1")->value(), 0);
    EXPECT_GT(h.Count("INFO:Success Download File->a.edi"), 0);
    EXPECT_EQ(h.Count("INFO:Disconnected."), 1);
    EXPECT_EQ(w.findChild<QLabel*>("StatusPanel2")->text(), "Not connected.");
    EXPECT_TRUE(w.errors.empty());

    // The server drops the connection while the window is connected and idle:
    // the keep-alive finds out and the menus go back to Idle, without a box.
    s.setScenario("drop\tNOOP\n"); // read when a connection is made
    w.findChild<QAction*>("m12")->trigger();
    ASSERT_EQ(w.CurrentMenuState(), kvgui::MenuState::Connected);
    w.SetKeepAliveInterval(150);
    w.StartKeepAlive();
    EXPECT_TRUE(WaitFor([&] { return w.CurrentMenuState() == kvgui::MenuState::Idle; }));
    EXPECT_TRUE(Enabled(w, "m12"));
    EXPECT_FALSE(Enabled(w, "m13"));
    EXPECT_FALSE(w.KeepAliveActive());
    EXPECT_TRUE(w.errors.empty());

    // With the Debug View off, a new session sends the view no trace lines.
    s.clearScenario();
    w.findChild<QAction*>("m23")->trigger();
    w.findChild<QAction*>("m41")->trigger(); // Clear Debug View
    w.findChild<QAction*>("m12")->trigger();
    ASSERT_EQ(w.CurrentMenuState(), kvgui::MenuState::Connected);
    EXPECT_TRUE(Lines(w, "DebugListBox").isEmpty());
}

TEST(GuiSession, AutomaticModeRunsCyclesAtTheIntervalAndStops) {
    PyFtpdServer& s = FreshServer();
    GuiHome h;
    // 0.0005 minutes: a cycle every 30 ms after the end of the previous one.
    h.Settings(&s, "[Extra]\r\n");
    kv::IniFile(h.path("Korvane.ini")).WriteString("Options", "TimeInterval", "0.0005");
    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    auto* button = w.findChild<QPushButton*>("Button1");
    EXPECT_TRUE(w.State().MessageBoxesAllowed);

    w.Button1Click(); // on: the first cycle runs at once
    EXPECT_EQ(w.AutoTimerInterval(), 30);
    EXPECT_TRUE(w.State().AutoMode);
    EXPECT_FALSE(w.State().MessageBoxesAllowed);
    EXPECT_EQ(button->text(), "Stop Auto");
    EXPECT_EQ(w.CurrentMenuState(), kvgui::MenuState::Busy);
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(h.Count("INFO:Auto Mode Started."), 1);
    EXPECT_EQ(h.Count("INFO:Begin Receive......"), 1);
    // A file put into the outbox is sent by a later cycle.
    WriteFile(h.path("OUTBOX/b.txt"), "00:ORDERS:X:Y:ME:THEM:Z'\r\n");
    EXPECT_TRUE(WaitFor([&] { return Exists(s.path("in/b.txt")); }));
    EXPECT_TRUE(WaitFor([&] { return h.Count("INFO:Begin Receive......") >= 3; }));
    // A tick empties a view that grew past 50,000 lines, not one at 50,000.
    auto* logView = w.findChild<QListWidget*>("LogListBox");
    auto* traceView = w.findChild<QListWidget*>("DebugListBox");
    logView->clear();
    traceView->clear();
    for (int i = 0; i < 50000; ++i) {
        logView->addItem("old");
        traceView->addItem("old");
    }
    logView->addItem("one more");
    w.Timer1Timer();
    EXPECT_LT(logView->count(), 1000);
    EXPECT_GT(traceView->count(), 50000);
    EXPECT_TRUE(w.AutoTimerActive());

    w.Button1Click(); // off
    EXPECT_FALSE(w.State().AutoMode);
    EXPECT_TRUE(w.State().MessageBoxesAllowed);
    EXPECT_FALSE(w.AutoTimerActive());
    EXPECT_EQ(button->text(), "Start Auto");
    EXPECT_EQ(w.CurrentMenuState(), kvgui::MenuState::Idle);
    EXPECT_EQ(h.Count("INFO:Auto Mode Stopped."), 1);
    const int cycles = h.Count("INFO:Begin Receive......");
    WaitFor([] { return false; }, 200);
    EXPECT_EQ(h.Count("INFO:Begin Receive......"), cycles);

    // TimeInterval 0: exactly one cycle, and the button still switches off.
    w.State().settings.TimeInterval = "0";
    w.Button1Click();
    EXPECT_EQ(h.Count("INFO:Begin Receive......"), cycles + 1);
    WaitFor([] { return false; }, 200);
    EXPECT_EQ(h.Count("INFO:Begin Receive......"), cycles + 1);
    EXPECT_FALSE(w.AutoTimerActive());
    w.Button1Click();
    EXPECT_FALSE(w.State().AutoMode);
    EXPECT_EQ(h.Count("INFO:Auto Mode Stopped."), 2);
    // Not a number: nothing changes, the error is shown.
    w.State().settings.TimeInterval = "ten";
    w.Button1Click();
    EXPECT_FALSE(w.State().AutoMode);
    ASSERT_EQ(w.errors.size(), 1u);
    EXPECT_EQ(w.errors[0], "'ten' is not a valid floating point value");
}

TEST(GuiSession, ClosingDuringATransferWaitsForItAndLosesNothing) {
    PyFtpdServer& s = FreshServer();
    const std::string content(3 << 20, 'y');
    s.writeFile("out/big.edi", content);
    s.setScenario("throttle\t1000000\n");
    GuiHome h;
    h.Settings(&s);
    TestWindow w(h.dir.path());
    bool closed = false;
    QObject::connect(&w, &kvgui::FormKorvane::Closed, [&] { closed = true; });
    ASSERT_TRUE(w.StartUp({}));
    w.ShowAfterStartUp();
    w.findChild<QAction*>("m12")->trigger();
    ASSERT_EQ(w.CurrentMenuState(), kvgui::MenuState::Connected);
    bool asked = false;
    w.onWork = [&](kv::WorkDirection, int64_t total) {
        if (!asked && total > 0) {
            asked = true;
            w.close(); // as the window manager's close button would
        }
    };
    w.findChild<QAction*>("m16")->trigger(); // Receive & Send
    EXPECT_TRUE(asked);
    EXPECT_TRUE(WaitFor([&] { return closed; }));
    s.clearScenario();
    // The file is still on the server, and no part of it in the inbox.
    EXPECT_EQ(ReadFile(s.path("out/big.edi")).size(), content.size());
    EXPECT_TRUE(kv::ListFolder(h.path("INBOX"), "*.*").empty());
    auto log = h.SysLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "INFO:Korvane System Close!");
    EXPECT_EQ(h.Count("INFO:Korvane System Close!"), 1);
    EXPECT_EQ(ReadFile(h.path("kvini.bak")), ReadFile(h.path("Korvane.ini")));
}

TEST(GuiSession, OptionDialogFrameDisconnectsDisablesAndReloadsSettings) {
    PyFtpdServer& s = FreshServer();
    GuiHome h;
    h.Settings(&s);
    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    w.ShowAfterStartUp();
    w.findChild<QAction*>("m12")->trigger();
    ASSERT_EQ(w.CurrentMenuState(), kvgui::MenuState::Connected);

    // The dialog: shown with the pack applied, the window disabled meanwhile;
    // it changes a setting, which the window reloads after it.
    std::string pack = ReadFile(h.path("Language/kven.ini"));
    const std::string caption = "[FormBasSet]\r\nCaption=Basic Preferences";
    ASSERT_NE(pack.find(caption), std::string::npos);
    pack.replace(pack.find(caption), caption.size(), "[FormBasSet]\r\nCaption=Basic Settings");
    WriteFile(h.path("Language/kven.ini"), pack);
    bool sessionGone = false, windowDisabled = false;
    QString title;
    kvgui::DialogKind asked = kvgui::DialogKind::Clean;
    w.dialogFactory = [&](kvgui::DialogKind kind, QWidget* owner) {
        asked = kind;
        auto d = std::make_unique<QDialog>(owner);
        d->setObjectName("FormBasSet");
        QTimer::singleShot(0, d.get(), [&, dialog = d.get()] {
            sessionGone = !w.State().FtpSession;
            windowDisabled =
                !w.menuBar()->isEnabled() && !w.findChild<QPushButton*>("Button1")->isEnabled();
            title = dialog->windowTitle();
            kv::IniFile(h.path("Korvane.ini")).WriteString("Options", "Port", "2199");
            dialog->accept();
        });
        return d;
    };
    w.findChild<QAction*>("m31")->trigger();
    EXPECT_EQ(asked, kvgui::DialogKind::Basic);
    EXPECT_TRUE(sessionGone);
    EXPECT_TRUE(windowDisabled);
    EXPECT_EQ(title, "Basic Settings");
    EXPECT_TRUE(w.menuBar()->isEnabled());
    EXPECT_EQ(w.CurrentMenuState(), kvgui::MenuState::Idle);
    EXPECT_EQ(w.State().settings.Port, 2199);

    // Quit asks m00; No keeps the window, Yes closes it.
    w.answer = false;
    w.findChild<QAction*>("m18")->trigger();
    ASSERT_EQ(w.questions.size(), 1u);
    EXPECT_EQ(w.questions[0], "Quit Korvane?");
    EXPECT_TRUE(w.isVisible());
    w.answer = true;
    w.findChild<QAction*>("m18")->trigger();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(h.SysLog().back(), "INFO:Korvane System Close!");
}

// The desktop notifications of automatic mode: files that arrived, and a
// failure told once however many cycles fail the same way; each switched
// off by its key.
TEST(GuiSession, AutomaticModeNotifiesArrivalsAndAFailureOnce) {
    PyFtpdServer& s = FreshServer();
    s.writeFile("out/a.edi", "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    s.writeFile("out/b.edi", "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    GuiHome h;
    h.Settings(&s);
    kv::IniFile(h.path("Korvane.ini")).WriteString("Options", "TimeInterval", "0");
    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    auto cycle = [&] {
        w.Button1Click(); // one cycle (TimeInterval 0), then off again
        w.Button1Click();
    };
    cycle();
    ASSERT_EQ(w.notices.size(), 1u);
    EXPECT_EQ(w.notices[0].title, "Files received");
    EXPECT_EQ(w.notices[0].text, "2 file(s) arrived in " + QString::fromStdString(h.dir.path()));
    EXPECT_FALSE(w.notices[0].failure);
    cycle(); // nothing new
    EXPECT_EQ(w.notices.size(), 1u);

    // A password the server refuses: told once, with the log's reason.
    auto setPassword = [&](const std::string& password) {
        kv::IniFile(h.path("Korvane.ini"))
            .WriteString("Options", "Password", kv::EncryptToHex(password, kv::kPasswordKey));
        w.State().settings.Password = password;
    };
    setPassword("wrong");
    cycle();
    cycle();
    ASSERT_EQ(w.notices.size(), 2u);
    EXPECT_EQ(w.notices[1].title, "Transfer cycle failed");
    EXPECT_TRUE(w.notices[1].failure);
    EXPECT_TRUE(w.notices[1].text.startsWith(QString::fromStdString(h.dir.path()) + "\nERROR:"))
        << w.notices[1].text.toStdString();

    // Switched off: neither is told.
    kv::IniFile ini(h.path("Korvane.ini"));
    ini.WriteString("System", "NotifyFilesReceived", "0");
    ini.WriteString("System", "NotifyCycleFailed", "0");
    setPassword(s.password());
    cycle(); // a good cycle: the next failure would be told again
    s.writeFile("out/c.edi", "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    cycle();
    setPassword("wrong");
    cycle();
    EXPECT_EQ(w.notices.size(), 2u);
}
