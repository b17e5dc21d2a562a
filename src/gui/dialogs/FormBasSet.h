#pragma once
// Basic Preferences (FormBasSet): the network type, server, user, working
// folders, file sender and SOCKS proxy, on kv::BasicPrefsModel. The proxy part
// below the line in Panel1 folds away with Btn_Proxy; it starts folded.
#include "ModelDialog.h"
#include "prefs/BasicPrefs.h"

#include <vector>

namespace kvgui {

class FormBasSet : public ModelDialog {
    Q_OBJECT

public:
    FormBasSet(const std::string& iniPath, const std::string& packPath, kv::Host& host,
               QWidget* owner);

    kv::BasicPrefsModel& Basic() { return static_cast<kv::BasicPrefsModel&>(Model()); }

protected:
    void BeforeFirstShow() override;

private:
    void BuildUpperPart();
    void BuildProxyPart();
    void ToggleProxyPart();
    // Sizes and moves what the proxy part changes, and sets Btn_Proxy's caption.
    void ShowProxyPart(bool shown);

    QFrame* panel1_ = nullptr;
    std::vector<QWidget*> proxyPart_;
};

} // namespace kvgui
