// Handing the program folder from the companion service to the window and back.
#include "program/FolderHandOver.h"

#include <cstdio>

namespace kv {

FolderHandOver::FolderHandOver(std::string programDir, CompanionService& service)
    : programDir_(std::move(programDir)), service_(service) {}

bool FolderHandOver::Take() {
    lock_.emplace(programDir_);
    const bool installed = service_.Installed();
    // Without an installed service and with the lock free, systemd is not asked.
    if (lock_->Acquired() && !installed)
        return true;
    if (!lock_->Acquired() && lock_->OpenError() != 0)
        return false;
    const bool active = service_.Active();
    if (!active && !installed)
        return lock_->Acquired(); // another window holds the folder
    // Installed but not running: stopped all the same, so a pending restart
    // does not start it while the window works.
    const CapturedRun stop = service_.Stop();
    if (active) {
        stopped_ = stop.Ok();
        if (stopped_)
            LogServiceEvent(programDir_, false,
                            "Service " + service_.UnitName() +
                                " stopped: the window works on this folder now.");
        else
            LogServiceEvent(programDir_, true,
                            "Service " + service_.UnitName() +
                                " could not be stopped for the window: " + stop.FirstLine());
    }
    if (!lock_->Acquired())
        lock_.emplace(programDir_);
    return lock_->Acquired();
}

void FolderHandOver::GiveBack() {
    lock_.reset();
    if (!stopped_ && !service_.Installed())
        return;
    const CapturedRun start = service_.Start();
    if (start.Ok()) {
        LogServiceEvent(programDir_, false,
                        "Service " + service_.UnitName() + " started: the window has closed.");
        return;
    }
    const std::string text = "Service " + service_.UnitName() +
                             " did not start: " + start.FirstLine() +
                             " It stays installed; see journalctl --user -u '" +
                             service_.UnitName() + "' and View Ostrel Log.";
    LogServiceEvent(programDir_, true, text);
    std::fprintf(stderr, "korvane: %s\n", text.c_str());
}

} // namespace kv
