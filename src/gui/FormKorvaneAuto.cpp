// FormKorvane: automatic mode (the Start Auto button and Timer1) and the
// keep-alive (Timer2), on the core's automatic cycle and keep-alive tick.
#include "FormKorvane.h"

#include "DisplayText.h"
#include "app/CycleSettings.h"
#include "engine/Engine.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "program/CycleStatus.h"
#include "program/Program.h"
#include "util/Text.h"

#include <QListWidget>
#include <QPushButton>
#include <algorithm>
#include <climits>

namespace kvgui {

namespace {

// The views are emptied at a tick when they grew past this many lines.
constexpr int kMaxViewLines = 50000;

} // namespace

QString FormKorvane::AutoButtonCaption(bool on) const {
    const std::string text = kv::LangMessage(state_, on ? "m06" : "m05");
    if (text.empty())
        return on ? "Stop Auto" : "Start Auto";
    return DisplayText(text);
}

void FormKorvane::RunGuardedAutoCycle() {
    OperationScope op(*this);
    kv::CycleStatus status(state_);
    const int64_t receivedBefore = state_.Counts.ReceivedFiles;
    cycleFirstError_.clear();
    kv::CycleOutcome outcome;
    try {
        outcome = kv::RunAutoCycle(state_, kv::ReadCycleSettings(state_));
    } catch (const std::exception& e) {
        // Unattended: an error that escapes the cycle is logged and the next
        // tick comes as usual, as in the headless run.
        kv::ReportError(state_, kv::FirstCrLfToBlank(e.what()) + "!");
        status.AddError(e.what());
    }
    // Timer1 starts once the cycle is over; an interval of 0 never fires.
    std::optional<std::time_t> nextDue;
    if (autoModeOn_ && autoIntervalMs_ > 0 && !closePending_)
        nextDue = state_.Now() + static_cast<std::time_t>((autoIntervalMs_ + 999LL) / 1000);
    NotifyAfterCycle(receivedBefore, status.Finish(outcome.Connected, nextDue));
}

void FormKorvane::Button1Click() {
    Guarded([this] {
        kv::LogBracket logs(state_);
        // A TimeInterval that is not a number stops here: nothing changes.
        const int64_t ms = kv::AutoIntervalMs(state_.settings.TimeInterval);
        autoIntervalMs_ = static_cast<int>(std::min<int64_t>(ms, INT_MAX));
        if (!autoTimerEnabled_) {
            timer1_.stop();
            if (kv::HasSession(state_))
                kv::DisconnectSession(state_);
            savedMessageBoxesAllowed_ = state_.MessageBoxesAllowed;
            state_.MessageBoxesAllowed = false;
            state_.AutoMode = true;
            autoModeOn_ = true;
            button1_->setText(AutoButtonCaption(true));
            SetMenuState(MenuState::Busy);
            button1_->setEnabled(true);
            kv::ReportInfo(state_, kv::LangMessage(state_, "m03"));
            button1_->setEnabled(false);
            RunGuardedAutoCycle();
            button1_->setEnabled(true);
            StartAutoTimer();
        } else {
            autoTimerEnabled_ = false;
            timer1_.stop();
            state_.MessageBoxesAllowed = savedMessageBoxesAllowed_;
            state_.AutoMode = false;
            autoModeOn_ = false;
            button1_->setText(AutoButtonCaption(false));
            if (kv::HasSession(state_))
                kv::DisconnectSession(state_);
            SetMenuState(MenuState::Idle);
            kv::ReportInfo(state_, kv::LangMessage(state_, "m04"));
        }
    });
}

void FormKorvane::StartAutoTimer() {
    if (closePending_ || closed_)
        return;
    autoTimerEnabled_ = true;
    // An interval of 0 is a timer that never fires: one cycle only.
    if (autoIntervalMs_ > 0)
        timer1_.start(autoIntervalMs_);
}

void FormKorvane::Timer1Timer() {
    timer1_.stop();
    if (!autoTimerEnabled_ || closePending_)
        return;
    autoTimerEnabled_ = false;
    Guarded([this] {
        kv::LogBracket logs(state_);
        button1_->setEnabled(false);
        if (debugListBox_->count() > kMaxViewLines)
            debugListBox_->clear();
        if (logListBox_->count() > kMaxViewLines)
            logListBox_->clear();
        RunGuardedAutoCycle();
    });
    button1_->setEnabled(true);
    StartAutoTimer();
}

void FormKorvane::Timer2Timer() {
    kv::KeepAliveResult result = kv::KeepAliveResult::Skipped;
    Guarded([&] {
        kv::LogBracket logs(state_);
        result = kv::KeepAliveTick(state_);
    });
    // A dropped session leaves the menus Idle, unless a command or automatic
    // mode owns them.
    if (result == kv::KeepAliveResult::Dropped && operationDepth_ == 0 && !autoModeOn_)
        SetMenuState(MenuState::Idle);
}

} // namespace kvgui
