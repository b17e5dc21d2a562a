#pragma once
// Advance Preferences (FormAdvSet): remote folders, the CNC102 path, the
// automatic-mode interval and the tray monitor's time-outs, permissions, FTP
// and log options and the service box, on kv::AdvancePrefsModel.
#include "ModelDialog.h"
#include "prefs/AdvancePrefs.h"

namespace kvgui {

class FormAdvSet : public ModelDialog {
    Q_OBJECT

public:
    // Creating it writes the corrected time values at once, as the model does.
    // service is what the service box installs and removes (none: it cannot).
    FormAdvSet(const std::string& iniPath, const std::string& packPath, kv::Host& host,
               QWidget* owner, std::unique_ptr<kv::ServiceSwitch> service = nullptr);

private:
    void BuildFolders(QWidget* panel);
    void BuildOptions(QWidget* panel);
};

} // namespace kvgui
