// A dialog bound to its model: widgets by the model's controls, actions to the
// model, its messages into message boxes, its state back onto the widgets.
#include "ModelDialog.h"

#include "DisplayText.h"
#include "FormKorvane.h"
#include "Pickers.h"
#include "util/Errors.h"
#include "util/Host.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFocusEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <algorithm>

namespace kvgui {

namespace {

template <class W> W* Placed(W* w, const char* name, QRect geometry) {
    w->setObjectName(name);
    w->setGeometry(geometry);
    return w;
}

} // namespace

ModelDialog::ModelDialog(std::unique_ptr<kv::DialogModel> model, kv::Host& host, QWidget* owner,
                         const char* windowName, const QString& caption)
    : QDialog(owner), host_(host), model_(std::move(model)) {
    setObjectName(windowName);
    setWindowTitle(caption);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
}

ModelDialog::~ModelDialog() = default;

QWidget* ModelDialog::ControlWidget(const std::string& name) const {
    auto it = widgets_.find(name);
    return it == widgets_.end() ? nullptr : it->second;
}

QWidget* ModelDialog::Put(const char* name, QWidget* parent, QRect geometry,
                          const QString& caption) {
    const kv::Control& c = model_->Get(name);
    QWidget* w = nullptr;
    switch (c.kind) {
    case kv::ControlKind::Edit: {
        // No Qt length limit: it would cut a longer stored value on display
        // while the value stays in force; the model limits what is typed.
        auto* edit = new QLineEdit(parent);
        if (c.password) {
            edit->setEchoMode(QLineEdit::Password);
            edit->setStyleSheet("QLineEdit { lineedit-password-character: 42; }"); // "*"
        }
        edit->setReadOnly(!c.typable);
        w = edit;
        break;
    }
    case kv::ControlKind::CheckBox:
        w = new QCheckBox(caption, parent);
        break;
    case kv::ControlKind::RadioButton: {
        // The model decides which button of a group is checked.
        auto* radio = new QRadioButton(caption, parent);
        radio->setAutoExclusive(false);
        w = radio;
        break;
    }
    case kv::ControlKind::ComboBox: {
        auto* combo = new QComboBox(parent);
        for (const std::string& item : c.items)
            combo->addItem(DisplayText(item));
        w = combo;
        break;
    }
    case kv::ControlKind::Button:
        w = new QPushButton(caption.isEmpty() && c.picker != kv::PickerKind::None ? "..." : caption,
                            parent);
        break;
    }
    Placed(w, name, geometry);
    widgets_[name] = w;
    Bind(c, w);
    return w;
}

QLabel* ModelDialog::PutPlainLabel(const char* name, QWidget* parent, QRect geometry,
                                   const QString& caption) {
    return Placed(new QLabel(caption, parent), name, geometry);
}

QLabel* ModelDialog::PutLabel(const char* name, QWidget* parent, QRect geometry,
                              const QString& caption) {
    return PutPlainLabel(name, parent, geometry, caption + QChar(0xFF1A));
}

QFrame* ModelDialog::PutPanel(const char* name, QWidget* parent, QRect geometry) {
    auto* panel = Placed(new QFrame(parent), name, geometry);
    panel->setFrameShape(QFrame::StyledPanel);
    panel->setFrameShadow(QFrame::Raised);
    return panel;
}

QGroupBox* ModelDialog::PutGroup(const char* name, QWidget* parent, QRect geometry,
                                 const QString& caption) {
    return Placed(new QGroupBox(caption, parent), name, geometry);
}

QFrame* ModelDialog::PutLine(const char* name, QWidget* parent, QRect geometry) {
    auto* line = Placed(new QFrame(parent), name, geometry);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

void ModelDialog::PutButtonPair(const char* first, const QString& firstCaption, const char* second,
                                const QString& secondCaption, int top, int clientWidth) {
    Put(first, this, {clientWidth - 184, top, 84, 25}, firstCaption);
    Put(second, this, {clientWidth - 92, top, 84, 25}, secondCaption);
}

void ModelDialog::OnClick(const char* name, std::function<void()> handler) {
    handlers_[name] = std::move(handler);
}

void ModelDialog::Bind(const kv::Control& c, QWidget* w) {
    const std::string name = c.name;
    switch (c.kind) {
    case kv::ControlKind::Edit:
        // Typing and pasting: the model filters the text and runs the box's rules.
        connect(static_cast<QLineEdit*>(w), &QLineEdit::textEdited, this,
                [this, name](const QString& text) {
                    Act([&] { model_->SetText(name, text.toStdString()); });
                });
        w->installEventFilter(this);
        break;
    case kv::ControlKind::CheckBox:
        connect(static_cast<QCheckBox*>(w), &QCheckBox::clicked, this,
                [this, name](bool on) { Act([&] { model_->SetChecked(name, on); }); });
        break;
    case kv::ControlKind::RadioButton:
        connect(static_cast<QRadioButton*>(w), &QRadioButton::clicked, this,
                [this, name] { Act([&] { model_->SetChecked(name, true); }); });
        break;
    case kv::ControlKind::ComboBox:
        connect(static_cast<QComboBox*>(w), &QComboBox::activated, this,
                [this, name](int index) { Act([&] { model_->Select(name, index); }); });
        break;
    case kv::ControlKind::Button:
        connect(static_cast<QPushButton*>(w), &QPushButton::clicked, this, [this, name] {
            if (auto it = handlers_.find(name); it != handlers_.end())
                it->second();
            else if (const kv::Control& button = model_->Get(name);
                     button.picker != kv::PickerKind::None)
                Pick(button);
            else if (name == "Btn_OK") {
                bool written = false;
                Act([&] { written = model_->Ok(); });
                if (written)
                    accept();
            } else if (name == "Btn_Cancel" || name == "Btn_Exit")
                reject();
        });
        break;
    }
}

void ModelDialog::Pick(const kv::Control& button) {
    const std::string target = button.target;
    const QString current = DisplayText(model_->Text(target));
    const QString chosen = button.picker == kv::PickerKind::Folder ? ChooseFolder(this, current)
                                                                   : ChooseProgram(this, current);
    if (chosen.isEmpty())
        return;
    // Paths go into the settings file as the file system names them.
    Act([&] { model_->SetText(target, QFile::encodeName(chosen).toStdString()); });
}

void ModelDialog::Act(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        host_.ShowMessageBox(e.what());
    }
    ShowMessages();
    Refresh();
}

void ModelDialog::ShowMessages() {
    for (const kv::DialogMessage& m : model_->TakeMessages()) {
        auto* window = dynamic_cast<FormKorvane*>(&host_);
        if (m.notice && window)
            window->ShowNoticeBox(DisplayText(m.text));
        else
            host_.ShowMessageBox(m.text);
    }
}

void ModelDialog::RefreshEdit(const kv::Control& c, QLineEdit* edit) {
    const QString text = DisplayText(c.text);
    if (edit->text() == text)
        return;
    // A filtered keystroke leaves the cursor where the user typed.
    const int dropped = std::max(0, static_cast<int>(edit->text().size() - text.size()));
    const int cursor = std::max(0, edit->cursorPosition() - dropped);
    edit->setText(text);
    edit->setCursorPosition(cursor);
}

void ModelDialog::Refresh() {
    for (const kv::Control& c : model_->Controls()) {
        QWidget* w = ControlWidget(c.name);
        if (!w)
            continue;
        w->setEnabled(c.enabled);
        switch (c.kind) {
        case kv::ControlKind::Edit:
            RefreshEdit(c, static_cast<QLineEdit*>(w));
            break;
        case kv::ControlKind::CheckBox:
        case kv::ControlKind::RadioButton:
            static_cast<QAbstractButton*>(w)->setChecked(c.checked);
            break;
        case kv::ControlKind::ComboBox:
            static_cast<QComboBox*>(w)->setCurrentIndex(c.index);
            break;
        case kv::ControlKind::Button:
            break;
        }
    }
}

void ModelDialog::FinishLayout(int clientWidth, int clientHeight) {
    setFixedSize(clientWidth, clientHeight);
    QWidget* previous = nullptr;
    for (const kv::Control& c : model_->Controls()) {
        QWidget* w = ControlWidget(c.name);
        if (!w)
            throw kv::KvError("The window " + objectName().toStdString() + " has no widget for " +
                              c.name);
        if (previous)
            setTabOrder(previous, w);
        previous = w;
    }
    for (const char* name : {"Btn_Cancel", "Btn_Exit"})
        if (auto* button = qobject_cast<QPushButton*>(ControlWidget(name)))
            button->setDefault(true);
    Refresh();
}

void ModelDialog::setVisible(bool visible) {
    if (visible && !shownOnce_) {
        shownOnce_ = true;
        BeforeFirstShow();
        // What creation queued (a read-only dialog's reason) shows over the dialog.
        QTimer::singleShot(0, this, [this] { ShowMessages(); });
    }
    QDialog::setVisible(visible);
}

bool ModelDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        // Leaving a box: by Tab, a click or a shortcut, not by another window
        // (a message box) taking the focus. Run after the focus moved, so a
        // message box does not interrupt the move.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason &&
            reason != Qt::MenuBarFocusReason) {
            const std::string name = watched->objectName().toStdString();
            QTimer::singleShot(0, this, [this, name] {
                if (isVisible())
                    Act([&] { model_->Leave(name); });
            });
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace kvgui
