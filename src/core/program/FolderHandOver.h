#pragma once
// The window and the companion service never work on the program folder at
// the same time. Before the window takes the folder's instance lock, a
// service that holds it (or is installed and might start) is stopped; once
// the window has closed and let the lock go, the service is started again
// when it ran before or is installed now. Both steps are written to the
// service's log and the system log.
#include "program/CompanionService.h"
#include "program/Program.h"

#include <optional>
#include <string>

namespace kv {

class FolderHandOver {
public:
    FolderHandOver(std::string programDir, CompanionService& service);

    // Takes the instance lock for the window, stopping the service first when
    // it holds the folder or is installed. False when the lock stays taken
    // (another window, a service that would not stop) or the folder cannot
    // be used: Lock() says why.
    bool Take();
    const InstanceLock& Lock() const { return *lock_; }
    // The service was running and Take stopped it.
    bool StoppedService() const { return stopped_; }

    // After the window's close sequence: lets the lock go, then starts the
    // service when Take stopped it or it is installed now. A start that fails
    // is logged as an error and written on standard error.
    void GiveBack();

private:
    std::string programDir_;
    CompanionService& service_;
    std::optional<InstanceLock> lock_;
    bool stopped_ = false;
};

} // namespace kv
