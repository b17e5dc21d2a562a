// FormKorvane: the commands of the Action, View, Option, Tools and Help menus
// and of the status bar, on the core's routines.
#include "FormKorvane.h"
#include "UpgradeCheck.h"

#include <QActionGroup>

#include "DisplayText.h"
#include "FormHistory.h"
#include "LanguageApply.h"
#include "LogViewer.h"
#include "app/CycleSettings.h"
#include "app/ViewSettings.h"
#include "engine/Engine.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "prefs/CleanFolder.h"
#include "program/CycleStatus.h"
#include "util/Fs.h"

#include <QAction>
#include <QDesktopServices>
#include <QDialog>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QUrl>

namespace kvgui {

namespace {

// The maker's home page (Help / EDI Home Page).
constexpr const char* kHomePageUrl = "https://www.example.com/korvane/";

} // namespace

void FormKorvane::Guarded(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        ShowErrorBox(DisplayText(e.what()));
    }
}

bool FormKorvane::AskYesNo(const QString& text) {
    return QMessageBox::question(this, "Korvane", text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

void FormKorvane::ShowErrorBox(const QString& text) {
    QMessageBox::critical(isVisible() ? this : nullptr, "Korvane", text);
}

void FormKorvane::ShowMessageBox(const std::string& text) {
    // The core's boxes are refusals and failures, but for its INFO lines
    // (a connection test that succeeded).
    if (kv::LineBody(text).substr(0, 5) == "INFO:")
        ShowNoticeBox(DisplayText(text));
    else
        ShowErrorBox(DisplayText(text));
}

void FormKorvane::ShowNoticeBox(const QString& text) {
    QMessageBox::information(isVisible() ? this : nullptr, "Korvane", text);
}

bool FormKorvane::ConfirmHostKey(const std::string& host, const std::string& fingerprint,
                                 const std::string& keyType) {
    // Unattended runs never wait for an answer: the key is refused and the
    // log says how to pin it.
    if (state_.AutoMode || state_.ServiceMode || !isVisible())
        return false;
    return AskYesNo(DisplayText(kv::HostKeyQuestion(state_, host, fingerprint, keyType)));
}

void FormKorvane::OpenUrl(const QString& url) {
    QDesktopServices::openUrl(QUrl(url));
}

// --- Action ------------------------------------------------------------------

void FormKorvane::m11Click() {
    OperationScope op(*this);
    Guarded([this] {
        kv::LogBracket logs(state_);
        SetMenuState(MenuState::Busy);
        kv::TestConnection(state_);
    });
    SetMenuState(MenuState::Idle);
}

void FormKorvane::m12Click() {
    OperationScope op(*this);
    bool connected = false;
    Guarded([&] {
        kv::LogBracket logs(state_);
        state_.ShowTestSuccessBox = false;
        SetMenuState(MenuState::Busy);
        connected = kv::ConnectSession(state_, kv::ReadCycleSettings(state_));
        if (connected)
            state_.ShowTestSuccessBox = true;
    });
    SetMenuState(connected && kv::HasSession(state_) ? MenuState::Connected : MenuState::Idle);
}

void FormKorvane::m13Click() {
    OperationScope op(*this);
    Guarded([this] {
        kv::LogBracket logs(state_);
        SetMenuState(MenuState::Busy);
        kv::DisconnectSession(state_);
    });
    SetMenuState(MenuState::Idle);
}

void FormKorvane::SetInputEnabled(bool on) {
    // Nothing takes a command, and nothing is greyed out, so the log and the
    // trace stay readable.
    menuBar()->setEnabled(on);
    button1_->setEnabled(on && menuState_ != MenuState::Busy);
}

void FormKorvane::RunTransferCommand(bool receive, bool send) {
    OperationScope op(*this);
    // The window takes no commands while the cycles run; the views and the
    // status bar stay readable, and a close still reaches closeEvent.
    SetInputEnabled(false);
    std::string error;
    {
        kv::LogBracket logs(state_);
        // What the command did goes into the status file, as a cycle's does.
        kv::CycleStatus status(state_);
        const int64_t receivedBefore = state_.Counts.ReceivedFiles;
        cycleFirstError_.clear();
        SetMenuState(MenuState::Busy);
        try {
            const kv::CycleSettings settings = kv::ReadCycleSettings(state_);
            if (receive)
                kv::ReceiveAll(state_, settings);
            if (send)
                kv::SendAll(state_, settings);
        } catch (const std::exception& e) {
            error = e.what();
            status.AddError(error);
        }
        const bool connected = kv::SessionConnected(state_);
        NotifyAfterCycle(receivedBefore, status.Finish(true, std::nullopt));
        SetMenuState(connected ? MenuState::Connected : MenuState::Idle);
    }
    SetInputEnabled(true);
    if (!error.empty()) {
        ShowErrorBox(DisplayText(error));
        return;
    }
    if (m13_->isEnabled() && !closePending_)
        m13Click();
}

void FormKorvane::m14Click() {
    RunTransferCommand(true, false);
}

void FormKorvane::m15Click() {
    RunTransferCommand(false, true);
}

void FormKorvane::m16Click() {
    RunTransferCommand(true, true);
}

void FormKorvane::m17Click() {
    kv::RequestAbort(state_);
}

void FormKorvane::m18Click() {
    if (AskYesNo(DisplayText(kv::LangMessage(state_, "m00"))))
        close();
}

// --- View --------------------------------------------------------------------

void FormKorvane::LngClick(QAction* item) {
    bool saved = false;
    Guarded([&] {
        std::string caption = item->data().toByteArray().toStdString();
        if (caption.empty())
            caption = item->text().toStdString();
        if (!caption.empty() && caption[0] == '&')
            caption.erase(0, 1);
        kv::StoreLanguageChoice(state_, caption, item->toolTip().toStdString());
        item->setChecked(true);
        saved = true;
    });
    if (!saved) {
        // The settings keep the language in use: so does the menu's tick.
        if (QActionGroup* group = item->actionGroup())
            for (QAction* a : group->actions())
                a->setChecked(a->toolTip().toStdString() == state_.LanguageFile);
        return;
    }
    ApplyLanguageGuarded(kv::JoinPath(state_.ProgramDir, "Language/" + state_.LanguageFile));
}

void FormKorvane::m22Click() {
    Guarded([this] {
        const bool on = m22_->isChecked();
        const int barHeight = statusBar()->sizeHint().height();
        statusBar()->setVisible(on);
        clientHeight_ += on ? barHeight : -barHeight;
        FitWindowHeight();
        kv::StoreStatusBarShown(state_, on);
    });
}

void FormKorvane::m23Click() {
    Guarded([this] {
        const bool on = m23_->isChecked();
        if (debugListBox_->isVisible() && debugListBox_->height() > 0)
            debugViewHeight_ = debugListBox_->height();
        // While the view is off no protocol lines are collected at all.
        kv::SetSessionTrace(state_, on);
        debugListBox_->setVisible(on);
        clientHeight_ += on ? debugViewHeight_ : -debugViewHeight_;
        FitWindowHeight();
        kv::StoreDebugViewShown(state_, on);
    });
}

// --- Option and Clean --------------------------------------------------------

void FormKorvane::RunDialogCommand(DialogKind kind) {
    OperationScope op(*this);
    Guarded([&] {
        {
            kv::LogBracket logs(state_);
            if (kv::HasSession(state_))
                kv::DisconnectSession(state_);
        }
        SetMenuState(MenuState::Idle);
        if (std::unique_ptr<QDialog> dialog = dialogFactory ? dialogFactory(kind, this) : nullptr) {
            // Every dialog shows the current language pack. A value the pack
            // gets wrong is shown and ends the pack's section there; the
            // dialog still opens, so the preferences are never out of reach.
            Guarded([&] { ApplyLanguage(dialog.get(), state_.LanguagePackPath()); });
            SetInputEnabled(false);
            dialog->exec();
        }
    });
    SetInputEnabled(true); // also after an error
    // The settings may have changed: they take effect at once.
    ReloadSettings();
}

// --- Tools -------------------------------------------------------------------

void FormKorvane::m41Click() {
    debugListBox_->clear();
}

void FormKorvane::m42Click() {
    logListBox_->clear();
}

void FormKorvane::ShowLogFile(const std::string& path, const QString& title) {
    auto* viewer = new LogViewer(QString::fromStdString(path), title, this);
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->show();
}

// The companions' logs are named as the cleaning names the ones it keeps.
std::string FormKorvane::CurrentLogPath(kv::LogKind kind) const {
    return state_.PathInProgramDir("LOG/" + kv::CurrentLogName(kind, state_.LogStep, state_.Now()));
}

void FormKorvane::m44Click() {
    kv::CloseLogs(state_);
    ShowLogFile(state_.logs.SysLogPath, "System Log");
}

void FormKorvane::m45Click() {
    kv::CloseLogs(state_);
    ShowLogFile(state_.logs.TransferLogPath, "Transfer Log");
}

void FormKorvane::m46Click() {
    ShowLogFile(CurrentLogPath(kv::LogKind::Tray), "KVTray Log");
}

void FormKorvane::m47Click() {
    ShowLogFile(CurrentLogPath(kv::LogKind::Service), "Ostrel Log");
}

FormHistory* FormKorvane::HistoryWindow() const {
    return history_.data();
}

void FormKorvane::m48Click() {
    if (history_) {
        history_->showNormal();
        history_->raise();
        history_->activateWindow();
        return;
    }
    history_ = new FormHistory(state_.ProgramDir, state_.IniPath, this);
    history_->setAttribute(Qt::WA_DeleteOnClose);
    // A value the pack gets wrong is shown; the window opens all the same.
    Guarded([&] { ApplyLanguage(history_, state_.LanguagePackPath()); });
    history_->show();
    history_->Start();
}

// --- Help --------------------------------------------------------------------

void FormKorvane::m51Click() {
    OpenUrl(kHomePageUrl);
}

void FormKorvane::m52Click() {
    // A check already under way goes on as it is: a second click neither
    // drops the session nor changes which messages that check shows.
    if (AutoUpgrader().Running())
        return;
    Guarded([this] {
        kv::LogBracket logs(state_);
        if (kv::HasSession(state_))
            kv::DisconnectSession(state_);
    });
    SetMenuState(MenuState::Idle);
    // Unlike the start-up check, this one also says when no update exists.
    PrepareUpgradeCheck(kv::kManualCheckMessages);
    StartUpgradeCheck();
}

void FormKorvane::m53Click() {
    kv::LogBracket logs(state_);
    const std::string version = "Version " + state_.ProgramVersion;
    // The log view only: the version line is not a system-log line.
    if (!state_.ServiceMode)
        AddLogViewLine(kv::TimeStamp(state_.Now()) + version);
    if (state_.MessageBoxesAllowed)
        ShowNoticeBox(DisplayText("   " + version + "   "));
}

void FormKorvane::StatusBar1DblClick() {
    m33_->setVisible(true);
}

} // namespace kvgui
