#pragma once
// The headless runs, for machines without a desktop (cron, systemd):
//   ONCE  start-up, one automatic cycle, close sequence, exit status
//         0 connected and no error line, 1 connected but some file or folder
//         step reported an error, 2 could not start or connect;
//   SRV   automatic mode without any window until SIGTERM or SIGINT; under
//         a service manager it reports READY=1 once started and STOPPING=1
//         when a stop was requested (ServiceNotify).
// In both, AutoMode and ServiceMode are on and message boxes are off, so
// hooks get their time limit and nothing waits for a person.
#include <string>
#include <vector>

namespace kv {

// True when the words hold ONCE, or SRV (any letter case).
bool WantsHeadlessRun(const std::vector<std::string>& args, bool displayAvailable);

// Runs ONCE or SRV in the program folder and returns the exit status.
// Short messages for the person at the terminal go to stderr.
int RunHeadless(const std::string& programDir, const std::vector<std::string>& args);

} // namespace kv
