// The stand-in user systemd's folders, environment and state.
#include "support/StandInSystemd.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#ifndef KORVANE_TEST_SUPPORT_DIR
#error "KORVANE_TEST_SUPPORT_DIR must name tests/support"
#endif

namespace kvtest {

namespace fs = std::filesystem;

StandInSystemd::StandInSystemd()
    : bin_(dir_ / "bin"), state_(dir_ / "state"), config(dir_ / "config") {
    fs::create_directories(bin_);
    fs::create_directories(state_);
    fs::create_directories(UnitFolder());
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all);
    const std::string script = std::string(KORVANE_TEST_SUPPORT_DIR) + "/standin_systemd.py";
    for (const char* name : {"systemctl", "loginctl"})
        fs::create_symlink(script, bin_ + "/" + name);
}

StandInSystemd::~StandInSystemd() {
    for (const auto& entry : fs::directory_iterator(state_)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pid") == 0)
            if (int pid = ServicePid(name.substr(0, name.size() - 4)); pid > 0)
                ::kill(pid, SIGKILL);
    }
    if (usedHere_)
        for (const auto& [name, value] : saved_)
            ::setenv(name.c_str(), value.c_str(), 1);
}

std::vector<std::string> StandInSystemd::Environment() const {
    const char* path = std::getenv("PATH");
    return {"PATH=" + bin_ + ":" + (path ? path : "/usr/bin:/bin"), "XDG_CONFIG_HOME=" + config,
            "XDG_RUNTIME_DIR=" + (dir_ / "run"), "KV_SYSTEMD_STATE=" + state_};
}

void StandInSystemd::UseHere() {
    for (const std::string& entry : Environment()) {
        const std::string name = entry.substr(0, entry.find('='));
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? old : "");
        ::setenv(name.c_str(), entry.substr(name.size() + 1).c_str(), 1);
    }
    usedHere_ = true;
}

std::vector<std::string> StandInSystemd::Calls() const {
    std::vector<std::string> lines;
    std::ifstream in(state_ + "/calls");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void StandInSystemd::Set(const std::string& condition, bool on) {
    const std::string file = state_ + "/" + condition;
    if (on)
        WriteFile(file, "");
    else
        fs::remove(file);
}

void StandInSystemd::Linger(const std::string& value) {
    WriteFile(state_ + "/linger", value);
}

int StandInSystemd::ServicePid(const std::string& unit) const {
    const std::string file = state_ + "/" + unit + ".pid";
    if (!Exists(file))
        return 0;
    const int pid = std::atoi(ReadFile(file).c_str());
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t close = text.rfind(')');
    if (pid <= 0 || close == std::string::npos || text.compare(close + 2, 1, "Z") == 0)
        return 0;
    return pid;
}

std::string StandInSystemd::ServiceOutput(const std::string& unit) const {
    const std::string file = state_ + "/" + unit + ".log";
    return Exists(file) ? ReadFile(file) : "";
}

} // namespace kvtest
