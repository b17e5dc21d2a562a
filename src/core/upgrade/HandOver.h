#pragma once
// Handing a finished download over to the updater program "Upgrader3": a copy
// of it in a private folder under the temporary folder (so it can replace the
// installed one too), its command line, and starting it.
#include "upgrade/UpgradePlan.h"
#include "util/Fs.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace kv {

inline constexpr const char* kUpdaterName = "Upgrader3";
// Prefix of the private folders (mode 0700) that hold the updater's copies.
inline constexpr const char* kUpdaterFolderPrefix = "korvane-upgrade-";

// The upgrade replaces the files beside the running executable
// (RunningExecutablePath): an UpgradePlan is made on its folder (not on
// $KORVANE_HOME, which may hold only the settings and logs), as that is the
// folder the updater works in.
// The installed updater: beside the running executable.
std::string InstalledUpdaterPath();
// $TMPDIR (absolute, no trailing '/'), else "/tmp".
std::string TemporaryFolder();

// Copies the updater into a new private folder under tempRoot as "Upgrader3"
// (mode 0700) and returns its path. Throws UpgradeError when it cannot.
std::string WriteUpdaterCopy(const std::string& installedUpdater, const std::string& tempRoot);
// Removes the updater copies left in tempRoot by earlier upgrades of this user.
void RemoveLeftoverUpdaters(const std::string& tempRoot);

// The updater's arguments: the program's full path, then "+" + restartParams +
// the method digit.
std::vector<std::string> UpdaterArguments(const std::string& updaterPath,
                                          const std::string& programPath,
                                          const std::string& restartParams, int method);
// The same as one command line: updater + " " + program + " +" + restartParams + digit.
std::string UpdaterCommandLine(const std::string& updaterPath, const std::string& programPath,
                               const std::string& restartParams, int method);

// Environment variables by which the updater learns the process to wait for
// and the program folder (where the list, the instance lock and the logs are;
// the program's folder is the one of the program it is given).
inline constexpr const char* kUpdaterWaitPidVariable = "KORVANE_UPGRADE_PID";
inline constexpr const char* kUpdaterHomeVariable = "KORVANE_UPGRADE_HOME";

// Starts argv[0] with argv in a session of its own, with this process's
// environment, in which kUpdaterWaitPidVariable is waitPid and
// kUpdaterHomeVariable is home (each left out when empty). Returns 0 and the
// process id, or the error number.
int SpawnInOwnSession(const std::vector<std::string>& argv, const std::string& waitPid, pid_t* pid,
                      const std::string& home = {});

// Starts the updater (argv from UpdaterArguments), telling it this process's
// id to wait for and the program folder. Returns its process id; throws
// UpgradeError when it cannot be started. The caller then closes the window
// through its close sequence.
pid_t StartUpdater(const std::vector<std::string>& argv, const std::string& home);

// The whole hand-over after the last download: writes the arrived list, the
// updater's copy, and starts it with UpdaterArguments. Returns the updater's
// process id; throws UpgradeError (nothing started) when a step fails. The
// caller then closes the window through its close sequence.
pid_t HandOverToUpdater(const UpgradePlan& plan, const std::string& programPath,
                        const std::string& restartParams, int method,
                        const std::string& installedUpdater = InstalledUpdaterPath(),
                        const std::string& tempRoot = TemporaryFolder());

} // namespace kv
