// Clean Folder and LOG File: the layout and the cleaning run with its progress.
#include "FormCleanFolder.h"

#include <QFrame>
#include <QLabel>
#include <ctime>

namespace kvgui {

namespace {

constexpr int kWidth = 340;
constexpr int kPanelHeight = 200;
constexpr int kHeight = 268;

} // namespace

FormCleanFolder::FormCleanFolder(const std::string& iniPath, const std::string& packPath,
                                 const std::string& programDir, const std::string& logStepInUse,
                                 kv::Host& host, QWidget* owner)
    : ModelDialog(
          std::make_unique<kv::CleanFolderModel>(iniPath, packPath, programDir, logStepInUse), host,
          owner, kv::CleanFolderModel::kWindowName, "Clean Folder and LOG File") {
    QFrame* panel = PutPanel("Panel1", this, {0, 0, kWidth, kPanelHeight});
    const char* const boxes[][2] = {
        {"CheckBox1", "Clean Backup Folder"},     {"CheckBox2", "Clean Error Folder"},
        {"CheckBox3", "Clean Inbox Folder"},      {"CheckBox4", "Clean System Log File"},
        {"CheckBox5", "Clean Transfer Log File"}, {"CheckBox6", "Clean KVTray Log File"},
        {"CheckBox7", "Clean Ostrel Log File"}};
    int top = 14;
    for (const auto& box : boxes) {
        Put(box[0], panel, {24, top, kWidth - 40, 20}, box[1]);
        top += 26;
    }
    progress_ = PutPlainLabel("Lbl_Progress", this, {12, kPanelHeight + 8, kWidth - 24, 17},
                              "Entries looked at:");
    progress_->setVisible(false);
    PutButtonPair("Btn_Clean", "&Clean", "Btn_Exit", "&Exit", kPanelHeight + 33, kWidth);
    OnClick("Btn_Clean", [this] { Clean(); });
    FinishLayout(kWidth, kHeight);
}

void FormCleanFolder::BeforeFirstShow() {
    // The progress line's caption as the language pack gave it.
    progressCaption_ = progress_->text();
}

void FormCleanFolder::reject() {
    // Esc, Exit and the close box wait for a running cleaning.
    if (!Cleaner().Running())
        ModelDialog::reject();
}

void FormCleanFolder::Clean() {
    if (progressCaption_.isEmpty())
        progressCaption_ = progress_->text();
    // Every control is off while the cleaning runs; the refresh after it
    // turns them on again.
    for (const kv::Control& c : Cleaner().Controls())
        ControlWidget(c.name)->setEnabled(false);
    Act([this] {
        Cleaner().Clean(std::time(nullptr), &host_,
                        [this](uint64_t entries) { ShowProgress(entries); });
    });
    // Nothing is reported afterwards: the count goes with the run.
    progress_->setVisible(false);
}

void FormCleanFolder::ShowProgress(uint64_t entries) {
    progress_->setText(progressCaption_ + " " + QString::number(entries));
    progress_->setVisible(true);
}

} // namespace kvgui
