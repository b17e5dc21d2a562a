// The window-less half of a settings dialog: controls by name, user actions,
// queued messages, the read-only state and the all-or-nothing store.
#include "prefs/DialogModel.h"

#include "i18n/LangPack.h"
#include "util/Errors.h"
#include "util/Text.h"

#include <algorithm>

namespace kv {

DialogModel::DialogModel(std::string iniPath, std::string packPath)
    : file_(SettingsSnapshot::FromText(iniPath, "")), writer_(iniPath),
      packPath_(std::move(packPath)) {
    try {
        file_ = SettingsSnapshot::Read(iniPath);
    } catch (const KvError& e) {
        // Shown, never saved over: defaults written now would replace settings
        // that were only unreadable.
        readOnlyReason_ = std::string(e.what()) +
                          "\nThis dialog only shows the settings and saves nothing. Make the "
                          "settings file readable, then open the dialog again.";
    }
}

const Control* DialogModel::Find(const std::string& name) const {
    for (const Control& c : controls_)
        if (c.name == name)
            return &c;
    return nullptr;
}

const Control& DialogModel::Get(const std::string& name) const {
    if (const Control* c = Find(name))
        return *c;
    throw KvError("The dialog has no control named " + name);
}

Control& DialogModel::At(const std::string& name) {
    return const_cast<Control&>(Get(name));
}

Control& DialogModel::Add(const std::string& name, ControlKind kind) {
    Control c;
    c.name = name;
    c.kind = kind;
    controls_.push_back(std::move(c));
    return controls_.back();
}

Control& DialogModel::AddEdit(const std::string& name) {
    return Add(name, ControlKind::Edit);
}

Control& DialogModel::AddDigitsEdit(const std::string& name, int maxLength,
                                    const std::string& text) {
    Control& c = AddEdit(name);
    c.text = text;
    c.maxLength = maxLength;
    c.digitsOnly = true;
    return c;
}

Control& DialogModel::AddPicker(const std::string& name, PickerKind kind,
                                const std::string& target) {
    Control& c = Add(name, ControlKind::Button);
    c.picker = kind;
    c.target = target;
    return c;
}

void DialogModel::SetEnabled(std::initializer_list<const char*> names, bool enabled) {
    for (const char* n : names)
        At(n).enabled = enabled;
}

std::vector<DialogMessage> DialogModel::TakeMessages() {
    std::vector<DialogMessage> out;
    out.swap(messages_);
    return out;
}

void DialogModel::SetText(const std::string& name, const std::string& text) {
    Control& c = At(name);
    if (ReadOnly() || !c.enabled)
        return;
    std::string t;
    for (char ch : text) {
        if (c.digitsOnly && (ch < '0' || ch > '9'))
            continue;
        t += c.upperCase ? UpperCase(std::string(1, ch)) : std::string(1, ch);
    }
    // The limit is for typing, as in an edit box: a stored value longer than
    // it is shown whole and can be shortened, never lengthened.
    const size_t limit = static_cast<size_t>(c.maxLength);
    if (c.maxLength > 0 && t.size() > limit) {
        if (c.text.size() < limit)
            t.resize(limit); // what is typed or pasted fits up to the limit
        else if (t.size() >= c.text.size())
            return; // nothing more goes in
    }
    c.text = t;
    OnTextChanged(name);
}

void DialogModel::SetChecked(const std::string& name, bool checked) {
    if (ReadOnly() || !At(name).enabled)
        return;
    // A radio button is unchecked only by checking another of its group.
    if (!checked && At(name).kind == ControlKind::RadioButton)
        return;
    Check(name, checked);
}

void DialogModel::Check(const std::string& name, bool checked) {
    Control& c = At(name);
    if (c.checked == checked)
        return;
    c.checked = checked;
    if (checked && c.kind == ControlKind::RadioButton) {
        for (const auto& group : radioGroups_) {
            if (std::find(group.begin(), group.end(), name) == group.end())
                continue;
            for (const std::string& other : group)
                if (other != name)
                    At(other).checked = false;
        }
    }
    OnClick(name);
}

void DialogModel::Select(const std::string& name, int index) {
    Control& c = At(name);
    if (ReadOnly() || !c.enabled)
        return;
    if (index < -1 || index >= static_cast<int>(c.items.size()) || index == c.index)
        return;
    c.index = index;
    OnSelect(name);
}

std::string DialogModel::PackText(const std::string& code, const std::string& fallback) const {
    std::string text = ReadLangMessage(code, packPath_);
    return text.empty() ? fallback : text;
}

void DialogModel::EnterReadOnly(const std::string& error, const SettingKey& key) {
    if (ReadOnly())
        return;
    readOnlyReason_ = error + "\n" + key.Path() + " in " + file_.Path() +
                      " cannot be read, so this dialog only shows the settings and saves "
                      "nothing. Correct or clear that value in the settings file, then open "
                      "the dialog again.";
}

void DialogModel::FinishLoading() {
    if (!ReadOnly())
        return;
    for (Control& c : controls_)
        c.enabled = c.name == "Btn_Cancel";
    Say("", readOnlyReason_);
}

bool DialogModel::Store(const std::vector<IniFile::Value>& values) {
    try {
        writer_.Write(values);
    } catch (const KvError& e) {
        Say("", std::string(e.what()) + "\nNothing was saved; the settings file is unchanged.");
        return false;
    }
    try {
        file_ = SettingsSnapshot::Read(writer_.Path());
    } catch (const KvError&) {
        // Saved; what the dialog reads next is what it knew before.
    }
    return true;
}

} // namespace kv
