#pragma once
// The companion service of a program folder: korvaned SRV working on the
// folder, run by the user's own systemd as the user unit
// korvaned@<the folder, escaped as a path>.service, so the mailbox is served
// while the window is closed and, with lingering, while the user is logged
// out. "Install Service" in Advance Preferences installs and enables it, and
// removes it again (ServiceSwitch); the window stops it before it works on
// the folder and starts it again once it has closed (FolderHandOver). What
// either does goes to the service's log (LOG/KVSRV<yyyymm>.LOG, "View Ostrel
// Log") and to the system log.
#include "prefs/AdvancePrefs.h"
#include "program/CapturedRun.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

// A path as systemd names it in a unit instance (systemd-escape --path):
// without its outer '/', '/' as '-', letters, digits, ':', '_' and '.' (not
// leading) as they are, every other byte as "\xNN"; "/" is "-".
std::string SystemdEscapePath(const std::string& path);

// The user unit's text: korvaned SRV in the folder of its instance (%f), so
// the same text serves any folder. The package ships it as the template
// korvaned@.service of the user's systemd, with /usr/bin/korvaned.
std::string UserUnitText(const std::string& korvaned);

// korvaned beside the running program: the one the window's service runs.
std::string KorvanedBesideThisProgram();

// Appends a time-stamped "INFO:" (or "ERROR:") line to the service's log,
// LOG/KVSRV<yyyymm>.LOG, and with systemLog also to the system log. Never
// throws: logging must not stop what is being logged.
void LogServiceEvent(const std::string& programDir, bool error, const std::string& text,
                     bool systemLog = true);

class CompanionService : public ServiceSwitch {
public:
    CompanionService(std::string programDir, std::string korvaned);

    const std::string& UnitName() const { return unit_; }
    // The unit Install writes: $XDG_CONFIG_HOME/systemd/user/<unit>
    // (~/.config/systemd/user when the variable is not set).
    std::string UnitFilePath() const;
    // The folder's settings file says it is installed (Ostrel/EnableOstrel "1").
    bool Installed() const;

    // Needs korvaned, a systemd user manager that answers, and lingering on
    // (else the service stops at logout); writes the unit, reloads systemd
    // and enables the unit without starting it (the window works on the
    // folder now). On a failure everything done so far is undone.
    std::string Install() override;
    // Disables and stops the unit and deletes the unit file.
    std::string Remove() override;

    // systemctl --user for the unit; their output says why when they fail.
    bool Active() const;
    CapturedRun Stop() const;
    CapturedRun Start() const;

private:
    CapturedRun Systemctl(const std::vector<std::string>& args, int64_t limitMs) const;
    void Log(bool error, const std::string& text) const;

    std::string programDir_;
    std::string korvaned_;
    std::string unit_;
};

// korvaned SRV, and korvane SRV without a display: the headless run between
// two lines of the service's log saying that it started and how it ended.
// Other words run headless as they are.
int RunLoggedHeadless(const std::string& programDir, const std::vector<std::string>& args);

} // namespace kv
