// FormKorvane: the display half of the session's events. The core keeps the
// transfer state and reports the status lines; the window shows the trace,
// the status panel, the progress bar and the speed. Progress repaints are
// limited to one every 100 ms so a transfer is not slowed by painting.
#include "FormKorvane.h"

#include "DisplayText.h"
#include "ProgressText.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <chrono>
#include <climits>

namespace kvgui {

namespace {

constexpr int64_t kProgressPaintMs = 100;

// The clock the core stamps TransferStart with.
int64_t MonotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void AppendLine(QListWidget* list, const QString& text) {
    list->addItem(text);
    list->setCurrentRow(list->count() - 1);
}

} // namespace

void FormKorvane::AddLogViewLine(const std::string& line) {
    if (cycleFirstError_.empty() && kv::LineBody(line).substr(0, 6) == "ERROR:")
        cycleFirstError_ = line;
    AppendLine(logListBox_, DisplayText(line));
}

void FormKorvane::ProcessPendingEvents() {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void FormKorvane::FtpTrace(const std::string& line) {
    if (state_.ServiceMode)
        return;
    AppendLine(debugListBox_, DisplayText(FormatTraceLine(line)));
}

void FormKorvane::SetStatusText(const QString& text) {
    statusPanel2_->setText(text);
}

void FormKorvane::FtpStatus(const std::string& text) {
    SetStatusText(DisplayText(text));
    // Visible at once, also while the call that raised it blocks.
    statusPanel2_->repaint();
}

void FormKorvane::FtpDisconnected() {
    SetStatusText("Disconnected.");
}

void FormKorvane::FtpWorkBegin(kv::WorkDirection, int64_t announcedSize) {
    // The core passes ExpectedSize when the server announced no size. A bar
    // holds an int: larger sizes are shown in coarser steps.
    // A maximum of 0 would turn the bar into a busy indicator that never stops.
    progressMaximum_ = announcedSize > 0 ? announcedSize : 1;
    progressShift_ = 0;
    while ((progressMaximum_ >> progressShift_) > INT_MAX)
        ++progressShift_;
    progressBar1_->setRange(0, static_cast<int>(progressMaximum_ >> progressShift_));
    transferSpeed_ = 0;
    lastProgressPaintMs_ = 0;
}

void FormKorvane::FtpWork(kv::WorkDirection dir, int64_t total) {
    const int64_t now = MonotonicMs();
    if (lastProgressPaintMs_ != 0 && now - lastProgressPaintMs_ < kProgressPaintMs)
        return;
    transferSpeed_ = TransferSpeedKBps(total, now - state_.TransferStart, transferSpeed_);
    SetStatusText(SpeedPanelText(dir, transferSpeed_));
    lastProgressPaintMs_ = now;
    progressBar1_->setValue(static_cast<int>(std::min(total, progressMaximum_) >> progressShift_));
}

void FormKorvane::FtpWorkEnd(kv::WorkDirection) {
    SetStatusText("Transfer complete.");
    progressBar1_->setValue(0);
    transferSpeed_ = 0;
}

void FormKorvane::StartKeepAlive() {
    timer2_.start();
}

void FormKorvane::StopKeepAlive() {
    timer2_.stop();
}

} // namespace kvgui
