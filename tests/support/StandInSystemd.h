#pragma once
// The user's systemd for tests on machines without one (systemd is not
// process 1 there): standin_systemd.py as "systemctl" and "loginctl" in a
// folder of their own, its state folder, and a configuration folder whose
// systemd/user holds the units. Environment() is what a child process needs;
// UseHere() puts the same into this process until the object goes.
#include "support/TestSupport.h"

#include <string>
#include <utility>
#include <vector>

namespace kvtest {

class StandInSystemd {
public:
    StandInSystemd();
    ~StandInSystemd(); // stops the services it started, restores this process's environment
    StandInSystemd(const StandInSystemd&) = delete;
    StandInSystemd& operator=(const StandInSystemd&) = delete;

    // PATH (the stand-ins first), XDG_CONFIG_HOME, an XDG_RUNTIME_DIR of its
    // own and the state folder.
    std::vector<std::string> Environment() const;
    void UseHere();

    // "systemctl --user ..." and "loginctl ..." lines, in call order.
    std::vector<std::string> Calls() const;
    // Makes the named answer change ("no-manager", "fail-start", "fail-enable").
    void Set(const std::string& condition, bool on);
    // What loginctl says for Linger.
    void Linger(const std::string& value);
    std::string UnitFolder() const { return config + "/systemd/user"; }
    // The process of a running service, or 0.
    int ServicePid(const std::string& unit) const;
    // What a service wrote on its standard output and error.
    std::string ServiceOutput(const std::string& unit) const;

private:
    TempDir dir_;
    std::string bin_;
    std::string state_;

public:
    const std::string config;

private:
    std::vector<std::pair<std::string, std::string>> saved_;
    bool usedHere_ = false;
};

} // namespace kvtest
