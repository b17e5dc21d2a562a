#pragma once
// Clean Folder and LOG File (FormCleanFolder): seven boxes on Panel1, Clean
// and Exit below, on kv::CleanFolderModel. The cleaning runs on the window's
// thread and keeps the window responsive; Lbl_Progress counts the entries
// looked at while it runs, and Esc and the close box wait for it.
#include "ModelDialog.h"
#include "prefs/CleanFolder.h"

class QLabel;

namespace kvgui {

class FormCleanFolder : public ModelDialog {
    Q_OBJECT

public:
    FormCleanFolder(const std::string& iniPath, const std::string& packPath,
                    const std::string& programDir, const std::string& logStepInUse, kv::Host& host,
                    QWidget* owner);

    kv::CleanFolderModel& Cleaner() { return static_cast<kv::CleanFolderModel&>(Model()); }

public slots:
    void reject() override;

protected:
    void BeforeFirstShow() override;

private:
    void Clean();
    void ShowProgress(uint64_t entries);

    QLabel* progress_ = nullptr;
    QString progressCaption_;
};

} // namespace kvgui
