// The hand-over to the updater program.
#include "upgrade/HandOver.h"

#include "upgrade/InfoFile.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <cstdlib>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace kv {

std::string InstalledUpdaterPath() {
    std::string exe = RunningExecutablePath();
    return JoinPath(exe.empty() ? "." : FolderOf(exe), kUpdaterName);
}

std::string TemporaryFolder() {
    // Absolute and without a trailing '/': the updater recognises its own
    // copy by comparing this with the folder it runs from.
    const char* tmp = std::getenv("TMPDIR");
    return AbsoluteFolder(tmp && *tmp ? tmp : "/tmp");
}

std::string WriteUpdaterCopy(const std::string& installedUpdater, const std::string& tempRoot) {
    std::string pattern = JoinPath(tempRoot, std::string(kUpdaterFolderPrefix) + "XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr)
        throw UpgradeError("Cannot create a folder for the updater in " + tempRoot + ": " +
                           ErrnoText(errno));
    std::string path = JoinPath(pattern, kUpdaterName);
    try {
        CopyFileSafe(installedUpdater, path, true);
    } catch (const FileError& e) {
        ::rmdir(pattern.c_str());
        throw UpgradeError(std::string(e.what()) + ". Please reinstall this software.");
    }
    if (::chmod(path.c_str(), 0700) != 0)
        throw UpgradeError("Cannot make " + path + " executable: " + ErrnoText(errno));
    return path;
}

void RemoveLeftoverUpdaters(const std::string& tempRoot) {
    for (const auto& name :
         ListFolder(tempRoot, std::string(kUpdaterFolderPrefix) + "*", /*filesOnly=*/false)) {
        std::string dir = JoinPath(tempRoot, name);
        struct stat st {};
        if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        ::unlink(JoinPath(dir, kUpdaterName).c_str());
        ::rmdir(dir.c_str()); // only when nothing else is in it
    }
}

std::vector<std::string> UpdaterArguments(const std::string& updaterPath,
                                          const std::string& programPath,
                                          const std::string& restartParams, int method) {
    return {updaterPath, programPath, "+" + restartParams + IntToStr(method)};
}

std::string UpdaterCommandLine(const std::string& updaterPath, const std::string& programPath,
                               const std::string& restartParams, int method) {
    return updaterPath + " " + programPath + " +" + restartParams + IntToStr(method);
}

int SpawnInOwnSession(const std::vector<std::string>& argv, const std::string& waitPid, pid_t* pid,
                      const std::string& home) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    const std::string waitVar = std::string(kUpdaterWaitPidVariable) + "=";
    const std::string homeVar = std::string(kUpdaterHomeVariable) + "=";
    for (char** e = environ; *e; ++e) {
        if (!StartsWith(*e, waitVar) && !StartsWith(*e, homeVar))
            env.push_back(*e);
    }
    std::string own = waitVar + waitPid;
    if (!waitPid.empty())
        env.push_back(own.data());
    std::string ownHome = homeVar + home;
    if (!home.empty())
        env.push_back(ownHome.data());
    env.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own session, so closing the starter's terminal or process group spares it.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    int rc = ::posix_spawn(pid, args[0], nullptr, &attr, args.data(), env.data());
    posix_spawnattr_destroy(&attr);
    return rc;
}

pid_t StartUpdater(const std::vector<std::string>& argv, const std::string& home) {
    pid_t pid = -1;
    if (int rc = SpawnInOwnSession(argv, IntToStr(::getpid()), &pid, home); rc != 0)
        throw UpgradeError("Cannot start the updater " + argv[0] + ": " + ErrnoText(rc));
    return pid;
}

pid_t HandOverToUpdater(const UpgradePlan& plan, const std::string& programPath,
                        const std::string& restartParams, int method,
                        const std::string& installedUpdater, const std::string& tempRoot) {
    plan.WriteArrivedList();
    std::string updater = WriteUpdaterCopy(installedUpdater, tempRoot);
    return StartUpdater(UpdaterArguments(updater, programPath, restartParams, method),
                        plan.Folders().home);
}

} // namespace kv
