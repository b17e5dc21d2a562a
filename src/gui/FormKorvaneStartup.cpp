// FormKorvane: the creation, show and close sequences around the core's
// start-up and close routines, the Language menu and the view settings.
#include "FormKorvane.h"

#include "DisplayText.h"
#include "LanguageApply.h"
#include "UpgradeCheck.h"
#include "app/Settings.h"
#include "app/ViewSettings.h"
#include "engine/Engine.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "program/Program.h"
#include "util/Fs.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <algorithm>

namespace kvgui {

bool FormKorvane::StartUp(const std::vector<std::string>& args) {
    std::string error;
    try {
        if (!kv::StartUp(state_, args))
            return false; // no settings file and no backup: stay Busy
    } catch (const std::exception& e) {
        // A bad setting or an update-script failure: the window still opens,
        // without starting automatic mode.
        error = e.what();
        if (state_.IniPath.empty()) {
            ShowErrorBox(DisplayText(error));
            return false;
        }
    }
    // The start the updater makes after putting an upgrade in place does not
    // check again at once: a published version the delivered files do not
    // reach would otherwise download and restart without end.
    const std::string afterUpgrade = AutoUpgrader().settings.restartParams;
    SetUpUpgradeCheck(std::find(args.begin(), args.end(), afterUpgrade) != args.end());
    BuildLanguageMenu();
    ApplyViewSettings();
    SetMenuState(MenuState::Idle);
    // As far as the settings read came: a bad value after AllowStartAuto
    // still leaves the button as that key says.
    button1_->setVisible(state_.AllowStartAuto);
    if (!error.empty()) {
        ShowErrorBox(DisplayText(error));
        return true;
    }
    // AUTO and SRV click the Start Auto button once each; the clicks run as
    // soon as the event loop runs, so the window is painted first.
    // Both words click it twice: one cycle, then automatic mode is off again.
    const int clicks = (state_.TrayMode ? 1 : 0) + (state_.ServiceMode ? 1 : 0);
    if (clicks > 0) {
        button1_->setVisible(true);
        QTimer::singleShot(0, this, [this, clicks] {
            for (int i = 0; i < clicks && !closePending_ && !closed_; ++i)
                Button1Click();
        });
    }
    return true;
}

void FormKorvane::ShowAfterStartUp() {
    // Placed before it shows, and again once the window's frame is known.
    CentreOnScreen();
    QTimer::singleShot(0, this, [this] {
        if (isVisible())
            CentreOnScreen();
    });
    if (!kv::FileExists(state_.PathInProgramDir("Korvane.ini"))) {
        show();
        ShowErrorBox("INI File Lost!!!");
        close();
        return;
    }
    if (state_.TrayMode) {
        // Started hidden in the notification area; without one, minimised.
        if (QSystemTrayIcon::isSystemTrayAvailable())
            AddTrayIcon();
        else
            showMinimized();
        return;
    }
    show();
}

void FormKorvane::BuildLanguageMenu() {
    int counter = 1;
    for (const kv::InstalledPack& pack : kv::ListLanguagePacks(state_.ProgramDir)) {
        auto* item = new QAction(DisplayText(pack.caption), m21_);
        item->setObjectName(QString("m21%1").arg(counter));
        item->setCheckable(true);
        item->setToolTip(QString::fromStdString(pack.file));
        item->setData(QByteArray::fromStdString(pack.caption)); // stored as the pack has it
        languageGroup_->addAction(item);
        m21_->addAction(item);
        if (pack.caption == state_.LanguageName) {
            item->setChecked(true);
            ApplyLanguageGuarded(kv::JoinPath(state_.ProgramDir, "Language/" + pack.file));
        }
        ++counter;
    }
}

void FormKorvane::ApplyLanguageGuarded(const std::string& packPath) {
    // The button keeps its built-in caption or the pack's Button1.Caption
    // until automatic mode is first switched.
    Guarded([&] { ApplyLanguage(this, packPath); });
}

void FormKorvane::ReloadSettings() {
    Guarded([this] { kv::ReadSettings(state_); });
    button1_->setVisible(state_.AllowStartAuto || autoModeOn_);
}

void FormKorvane::ApplyViewSettings() {
    const kv::ViewSettings view = kv::ReadViewSettings(state_);
    m33_->setVisible(view.expert);
    const int barHeight = statusBar()->sizeHint().height();
    const bool statusBarOn = view.statusBar;
    m22_->setChecked(statusBarOn);
    clientHeight_ += statusBarOn ? barHeight : -barHeight;
    statusBar()->setVisible(statusBarOn);

    const bool debugOn = view.debugView;
    m23_->setChecked(debugOn);
    state_.TraceWanted = debugOn;
    if (!debugOn) {
        // The window has not been laid out yet: the trace view's height is
        // what is left under the panel, the splitter and the status bar.
        const int h = DesignedDebugViewHeight();
        if (h > 0)
            debugViewHeight_ = h;
        clientHeight_ -= debugViewHeight_;
    }
    debugListBox_->setVisible(debugOn);
    FitWindowHeight();
}

void FormKorvane::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    timer1_.stop();
    if (operationDepth_ > 0) {
        // A command is inside a network wait: end its session so it unwinds
        // cleanly (nothing half-delivered), and close once it has.
        closePending_ = true;
        // An open dialog or message box ends as if cancelled: a close from
        // outside (the desktop session ending, SIGTERM) must not wait for
        // someone to answer it.
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            dialog->reject();
        if (kv::HasSession(state_)) {
            kv::LogBracket logs(state_);
            kv::DisconnectSession(state_);
        }
        event->ignore();
        return;
    }
    timer2_.stop();
    try {
        kv::CloseSequence(state_);
    } catch (const std::exception& e) {
        // The close line could not be written; the program still ends.
        (void)e;
    }
    closed_ = true;
    RemoveTrayIcon();
    event->accept();
    emit Closed();
}

} // namespace kvgui
