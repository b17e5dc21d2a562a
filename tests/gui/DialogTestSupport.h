#pragma once
// Helpers of the dialog tests: a host that records message boxes, a dialog
// opened as the main window opens it (language pack applied, shown, active),
// typing and leaving boxes, and answering the modal dialogs a click opens.
#include "ModelDialog.h"
#include "support/TestSupport.h"
#include "util/Host.h"

#include <QApplication>
#include <QString>
#include <functional>
#include <string>
#include <vector>

class QLineEdit;

namespace kvtest {

class BoxHost : public kv::Host {
public:
    std::vector<std::string> boxes;
    void ShowMessageBox(const std::string& text) override { boxes.push_back(text); }
    void ProcessPendingEvents() override { QApplication::processEvents(); }
};

// A program folder with the shipped packs, a settings file and a recording host.
struct DialogHome {
    TempDir dir;
    BoxHost host;
    std::string ini = dir / "Korvane.ini";
    DialogHome();
    std::string Pack(const char* file = "kven.ini") const {
        return dir / ("Language/" + std::string(file));
    }
};

// Applies the pack, shows the dialog and makes it the active window.
void Open(kvgui::ModelDialog& dialog, const std::string& packPath);

template <class T = QWidget> T* Widget(QWidget& dialog, const char* name) {
    return dialog.findChild<T*>(name);
}

// Replaces a box's text by typing, as a user selecting all and typing does.
void Type(QWidget& dialog, const char* box, const QString& text);
// Moves the focus out of a box with Tab, and lets the leave handler run.
void TabOut(QWidget& dialog, const char* box);
void Click(QWidget& dialog, const char* name);
// Chooses an entry of a drop-down list with the arrow keys.
void ChooseEntry(QWidget& dialog, const char* combo, int index);

// Runs act on the next modal dialog of class T that opens (within a bound);
// schedule it before the click that opens the dialog.
void WhenModalWidget(std::function<bool(QWidget*)> matches, std::function<void(QWidget*)> act);
template <class T> void WhenModal(std::function<void(T*)> act) {
    WhenModalWidget([](QWidget* w) { return qobject_cast<T*>(w) != nullptr; },
                    [act](QWidget* w) { act(qobject_cast<T*>(w)); });
}

} // namespace kvtest
