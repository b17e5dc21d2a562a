#pragma once
// A dialog window bound to a window-less dialog model (kv::DialogModel): it
// creates a widget for each model control under the control's object name,
// hands every user action to the model, shows the messages the model queued
// and copies the model's state back onto the widgets. The four settings and
// cleaning dialogs only place their widgets and add their own buttons.
//
// Geometry is absolute, in pixels of the client area, so language packs can
// move and size components by name as they always could; the dialog has a
// fixed size and opens centred on its owner.
#include "DisplayText.h"
#include "prefs/DialogModel.h"

#include <QDialog>
#include <QRect>
#include <functional>
#include <map>
#include <memory>
#include <string>

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;

namespace kv {
class Host;
}

namespace kvgui {

// The columns the preference dialogs share, in client pixels: a box's label,
// the box, and the "..." button of a picked path.
struct Grid {
    static constexpr int kWidth = 560;
    static constexpr int kLabelLeft = 12;
    static constexpr int kLabelWidth = 184;
    static constexpr int kBoxLeft = 202;
    static constexpr int kPathWidth = 310;   // a box filling its row
    static constexpr int kPickedWidth = 276; // a box with its "..." button
    static constexpr int kPickerLeft = 484;
    static constexpr int kPickerWidth = 30;
    // The label of the box whose top is top.
    static QRect Label(int top) { return {kLabelLeft, top + 3, kLabelWidth, 17}; }
};

class ModelDialog : public QDialog {
    Q_OBJECT

public:
    // host shows the message boxes (the main window, or a test's recorder)
    // and pumps events while long work runs.
    ModelDialog(std::unique_ptr<kv::DialogModel> model, kv::Host& host, QWidget* owner,
                const char* windowName, const QString& caption);
    ~ModelDialog() override;

    kv::DialogModel& Model() { return *model_; }
    // The widget of a model control; null for a name the dialog does not have.
    QWidget* ControlWidget(const std::string& name) const;

    // Runs a user action on the model, then shows its messages and refreshes
    // every widget from it.
    void Act(const std::function<void()>& action);

protected:
    // The widget of model control name (its kind decides the widget's class),
    // with an English caption for check boxes, radio buttons and buttons.
    QWidget* Put(const char* name, QWidget* parent, QRect geometry, const QString& caption = {});
    // The label of a box: caption is the text before the full-width colon;
    // plain labels (units, notes) take their caption as it is.
    QLabel* PutLabel(const char* name, QWidget* parent, QRect geometry, const QString& caption);
    QLabel* PutPlainLabel(const char* name, QWidget* parent, QRect geometry,
                          const QString& caption);
    QFrame* PutPanel(const char* name, QWidget* parent, QRect geometry);
    QGroupBox* PutGroup(const char* name, QWidget* parent, QRect geometry, const QString& caption);
    QFrame* PutLine(const char* name, QWidget* parent, QRect geometry);
    // The two buttons at the bottom right: OK and Cancel, or Clean and Exit.
    void PutButtonPair(const char* first, const QString& firstCaption, const char* second,
                       const QString& secondCaption, int top, int clientWidth);
    // A button's own click handler (pickers, OK, Cancel and Exit have theirs).
    void OnClick(const char* name, std::function<void()> handler);
    // Fixes the client size; the tab order follows the model's control order.
    void FinishLayout(int clientWidth, int clientHeight);

    // Copies every control's state from the model onto its widget.
    void Refresh();
    void ShowMessages();

    void setVisible(bool visible) override;
    // The first show, before the dialog is placed: what the form's show
    // handler does besides applying the language pack (already applied).
    virtual void BeforeFirstShow() {}

    kv::Host& host_;

private:
    void Bind(const kv::Control& c, QWidget* w);
    void Pick(const kv::Control& c);
    void RefreshEdit(const kv::Control& c, QLineEdit* edit);
    bool eventFilter(QObject* watched, QEvent* event) override;

    std::unique_ptr<kv::DialogModel> model_;
    std::map<std::string, QWidget*> widgets_;
    std::map<std::string, std::function<void()>> handlers_;
    bool shownOnce_ = false;
};

} // namespace kvgui
