#pragma once
// The state and rules of a settings dialog without any window: the controls by
// their object names with text, check state, selection and enabling, the
// messages the dialog has to show, and the settings file it reads and writes.
// A window is a view of it: after every user action it hands the action to
// the model, shows the messages the model queued, and copies every control's
// state back onto the widget of the same object name.
//
// How a view binds:
//   - build the widgets with the object names of Controls() (the order is the
//     layout and tab order); Control::maxLength, password, typable tell how a
//     box behaves, Control::picker and target which box a "..." button fills;
//   - typing or pasting in an edit: SetText(name, text); the model filters the
//     text (digits-only and upper-case boxes) and runs the box's rules;
//   - focus leaving an edit: Leave(name);
//   - a click on a check box: SetChecked(name, state); on a radio button:
//     SetChecked(name, true) (the others of its group follow);
//   - a choice in a drop-down list: Select(name, index);
//   - a picker's confirmed result: SetText(target, path);
//   - OK: Ok(); close the dialog when it returns true;
//   - Cancel, Esc, the close box: just close; nothing is written;
//   - after each of these: show TakeMessages() in message boxes, in order,
//     then refresh every widget from Controls().
// Labels, panels and group boxes carry only captions (from the language
// pack) and are not in the model. Each model class names its window (the
// pack section) in kWindowName.
#include "config/SettingsKeys.h"
#include "config/SettingsSnapshot.h"
#include "config/SettingsWriter.h"

#include <string>
#include <vector>

namespace kv {

enum class ControlKind { Edit, CheckBox, RadioButton, ComboBox, Button };

// What a button's click opens; the chosen path goes into the button's target box.
enum class PickerKind {
    None,
    Folder, // folder selection that may create a new folder after a confirmation
    Program // file-open dialog for a program
};

struct Control {
    std::string name; // the object name, as language packs address it
    ControlKind kind = ControlKind::Edit;
    std::string text;               // Edit: its text
    bool checked = false;           // CheckBox, RadioButton
    int index = -1;                 // ComboBox: selected entry, -1 when none is selected
    std::vector<std::string> items; // ComboBox: its entries
    bool enabled = true;
    bool typable = true; // Edit: false for boxes filled only by a picker (read-only)
    // Edit: most characters typing gives, 0 for no limit. A longer value
    // from the settings file is shown whole; typing can only shorten it.
    int maxLength = 0;
    bool digitsOnly = false;              // Edit: only "0" to "9" can be typed
    bool upperCase = false;               // Edit: typed letters become upper case
    bool password = false;                // Edit: shows "*" for every character
    PickerKind picker = PickerKind::None; // Button
    std::string target;                   // Button with a picker: the box it fills
};

// A message box to show: the language-pack code it came from (empty for
// texts that are not in the packs) and the text itself.
struct DialogMessage {
    std::string code;
    std::string text;
    // A step that succeeded, not a refusal.
    bool notice = false;
};

class DialogModel {
public:
    // iniPath: the settings file; packPath: the current language pack (for
    // the texts of message codes).
    DialogModel(std::string iniPath, std::string packPath);
    virtual ~DialogModel() = default;
    DialogModel(const DialogModel&) = delete;
    DialogModel& operator=(const DialogModel&) = delete;

    const std::vector<Control>& Controls() const { return controls_; }
    // The control of that object name; throws KvError for an unknown name.
    const Control& Get(const std::string& name) const;
    // The same, or null for a name the model does not have.
    const Control* Find(const std::string& name) const;
    const std::string& Text(const std::string& name) const { return Get(name).text; }
    bool Checked(const std::string& name) const { return Get(name).checked; }
    bool Enabled(const std::string& name) const { return Get(name).enabled; }
    int Index(const std::string& name) const { return Get(name).index; }

    // A value the dialog must show could not be read (the text says which and
    // why). Such a dialog only shows: every control but Btn_Cancel is
    // disabled, the actions below change nothing and Ok() writes nothing, so
    // values it never read are not written over the stored ones.
    bool ReadOnly() const { return !readOnlyReason_.empty(); }
    const std::string& ReadOnlyReason() const { return readOnlyReason_; }

    // The messages queued since the last call, oldest first.
    std::vector<DialogMessage> TakeMessages();

    void SetText(const std::string& name, const std::string& text);
    virtual void Leave(const std::string& name) { (void)name; }
    void SetChecked(const std::string& name, bool checked);
    void Select(const std::string& name, int index);
    // Writes the dialog's values; false when nothing was written (read-only,
    // or the file could not be replaced: a message says why).
    virtual bool Ok() { return false; }

protected:
    Control& At(const std::string& name);
    Control& Add(const std::string& name, ControlKind kind);
    Control& AddEdit(const std::string& name);
    // An edit that takes digits only, at most maxLength of them.
    Control& AddDigitsEdit(const std::string& name, int maxLength, const std::string& text = "");
    Control& AddPicker(const std::string& name, PickerKind kind, const std::string& target);
    void SetEnabled(std::initializer_list<const char*> names, bool enabled);
    // Puts a text into a box as the program does (no filtering, no handlers).
    void Fill(const std::string& name, const std::string& text) { At(name).text = text; }
    // Sets a check box or radio button; runs its click handler when the state
    // changes, and unchecks the other radio buttons of its group.
    void Check(const std::string& name, bool checked);
    // The radio buttons that exclude each other.
    void AddRadioGroup(std::vector<std::string> names) { radioGroups_.push_back(std::move(names)); }

    virtual void OnTextChanged(const std::string& name) { (void)name; }
    virtual void OnClick(const std::string& name) { (void)name; }
    virtual void OnSelect(const std::string& name) { (void)name; }

    // The text of a message code in the pack, or fallback when the pack has none.
    std::string PackText(const std::string& code, const std::string& fallback) const;
    // Queues a message box: Tell a step that succeeded, Say a refusal.
    void Tell(const std::string& code, const std::string& text) {
        messages_.push_back({code, text, true});
    }
    void Say(const std::string& code, const std::string& text) {
        messages_.push_back({code, text});
    }
    // Opens read-only: the reason is the failure's text and what it concerns.
    // The first failure counts.
    void EnterReadOnly(const std::string& error, const SettingKey& key);
    // The end of creation: a read-only dialog disables its controls and
    // queues its reason.
    void FinishLoading();
    // Writes the values at once (all or nothing); on failure queues a message
    // and returns false.
    bool Store(const std::vector<IniFile::Value>& values);

    std::string Read(const SettingKey& key) const { return file_.Text(key); }
    bool ReadOn(const SettingKey& key) const { return file_.Flag(key); }

    // The file as the dialog opened it (and as its own writes left it).
    SettingsSnapshot file_;
    SettingsWriter writer_;
    std::string packPath_;

private:
    std::vector<Control> controls_;
    std::vector<std::vector<std::string>> radioGroups_;
    std::vector<DialogMessage> messages_;
    std::string readOnlyReason_;
};

} // namespace kv
