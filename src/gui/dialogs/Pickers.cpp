// The folder and program selection dialogs of the "..." buttons.
#include "Pickers.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

namespace kvgui {

namespace {

// The folder a dialog opens on: the box's path, or its nearest existing parent.
QString ExistingStart(const QString& path) {
    QString dir = path.isEmpty() ? QDir::homePath() : QDir::cleanPath(path);
    for (int i = 0; i < 256 && !QFileInfo(dir).isDir(); ++i) {
        const QString up = QFileInfo(dir).path();
        if (up == dir)
            return QDir::homePath();
        dir = up;
    }
    return QFileInfo(dir).isDir() ? dir : QDir::homePath();
}

} // namespace

FolderDialog::FolderDialog(QWidget* parent, const QString& start) : QFileDialog(parent) {
    setObjectName("FolderDialog");
    setWindowTitle(tr("Select Folder"));
    // Qt's own dialog, so a typed folder that does not exist reaches accept().
    setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::ShowDirsOnly);
    setFileMode(QFileDialog::Directory);
    setAcceptMode(QFileDialog::AcceptOpen);
    setDirectory(ExistingStart(start));
}

QString FolderDialog::Folder() const {
    const QStringList files = selectedFiles();
    return files.isEmpty() ? QString() : QDir::cleanPath(files.first());
}

void FolderDialog::accept() {
    const QString folder = Folder();
    if (!folder.isEmpty() && !QFileInfo::exists(folder)) {
        if (QMessageBox::question(this, windowTitle(),
                                  tr("The folder %1 does not exist.\nCreate it?").arg(folder),
                                  QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            return;
        if (!QDir().mkpath(folder)) {
            QMessageBox::warning(this, windowTitle(),
                                 tr("The folder %1 could not be created.\nCheck that its parent "
                                    "folder exists and that you may write in it, or choose "
                                    "another folder.")
                                     .arg(folder));
            return;
        }
    }
    QFileDialog::accept();
}

QString ChooseFolder(QWidget* parent, const QString& start) {
    FolderDialog dialog(parent, start);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.Folder();
}

QString ChooseProgram(QWidget* parent, const QString& current) {
    QFileDialog dialog(parent);
    dialog.setObjectName("OpenDialog1");
    dialog.setWindowTitle(QObject::tr("Execute Program"));
    dialog.setOptions(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilter(QObject::tr("Execute Program (*)"));
    // Programs only: folders to move through, and files that may be run.
    dialog.setFilter(QDir::AllDirs | QDir::Files | QDir::Executable | QDir::NoDot);
    dialog.setDirectory(ExistingStart(current.isEmpty() ? QString() : QFileInfo(current).path()));
    if (!current.isEmpty())
        dialog.selectFile(QFileInfo(current).fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return QFileInfo(dialog.selectedFiles().first()).absoluteFilePath();
}

} // namespace kvgui
