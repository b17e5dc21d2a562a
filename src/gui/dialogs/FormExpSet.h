#pragma once
// Expert Preferences (FormExpSet): the extra send and receive groups with
// their Save buttons, the upgrade check, message boxes and the programs run
// around the transfers, on kv::ExpertPrefsModel.
#include "ModelDialog.h"
#include "prefs/ExpertPrefs.h"

namespace kvgui {

class FormExpSet : public ModelDialog {
    Q_OBJECT

public:
    FormExpSet(const std::string& iniPath, const std::string& packPath, kv::Host& host,
               QWidget* owner);

    kv::ExpertPrefsModel& Expert() { return static_cast<kv::ExpertPrefsModel&>(Model()); }

private:
    void BuildGroups(QWidget* panel);
    void BuildPrograms(QWidget* panel);
};

} // namespace kvgui
