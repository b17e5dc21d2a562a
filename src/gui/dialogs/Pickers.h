#pragma once
// The "..." buttons' dialogs: a folder selection that also takes a folder
// that does not exist yet (typed in) and creates it after a confirmation, and
// the program selection "OpenDialog1", which lists executables only.
#include <QFileDialog>
#include <QString>

namespace kvgui {

class FolderDialog : public QFileDialog {
    Q_OBJECT

public:
    FolderDialog(QWidget* parent, const QString& start);

    // The chosen folder, created when the user confirmed a new one.
    QString Folder() const;

public slots:
    void accept() override;
};

// The chosen folder, or a null text when the user cancelled.
QString ChooseFolder(QWidget* parent, const QString& start);
// The chosen program's full path, or a null text when the user cancelled.
QString ChooseProgram(QWidget* parent, const QString& current);

} // namespace kvgui
