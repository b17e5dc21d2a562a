// The companion service of a program folder under the user's systemd: its
// unit, its installation and removal, starting and stopping it, its log.
#include "program/CompanionService.h"

#include "config/SettingsSnapshot.h"
#include "logging/Logs.h"
#include "prefs/CleanFolder.h"
#include "program/Headless.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/StateFiles.h"
#include "util/Text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// Limits of the systemctl calls: a query, and a stop or start, which waits
// for korvaned to end its cycle or to finish its start-up.
constexpr int64_t kQueryMs = 20000;
constexpr int64_t kStartStopMs = 150000;

bool ValidUnitChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
           c == '_' || c == '.';
}

void EscapeByte(unsigned char c, std::string& out) {
    static const char* const hex = "0123456789abcdef";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
}

// A word of a command line in a unit file: quoted when it has to be, with
// the unit file's own specifiers ('%') and variables ('$') kept literal.
std::string UnitWord(const std::string& word) {
    std::string quoted;
    bool needsQuotes = word.empty();
    for (char c : word) {
        if (c == '%') {
            quoted += "%%";
        } else if (c == '$') {
            quoted += "$$";
        } else if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
            needsQuotes = true;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            EscapeByte(static_cast<unsigned char>(c), quoted); // a line break stays in the word
            needsQuotes = true;
        } else {
            quoted += c;
            if (c == ' ' || c == '\t' || c == '\'' || c == ';')
                needsQuotes = true;
        }
    }
    return needsQuotes ? "\"" + quoted + "\"" : quoted;
}

std::string UserConfigFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        return config;
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
            home = pw->pw_dir;
    return JoinPath(home && *home ? home : "/", ".config");
}

std::string LoginName() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name)
        return pw->pw_name;
    const char* user = std::getenv("USER");
    return user ? user : "";
}

bool IsExecutable(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// A log or LOG folder that a root run creates goes to the program folder's
// owner, as the program's other logs do, so the service can still write it.
void AppendLogLine(const std::string& programDir, const std::string& path,
                   const std::string& line) {
    const std::string folder = FolderOf(path);
    if (!DirectoryExists(folder) && ForceDirectories(folder))
        TakeFolderOwner(folder, programDir);
    const int fd =
        OpenCreatingForFolderOwner(path, O_WRONLY | O_APPEND | O_CLOEXEC, 0644, programDir);
    if (fd < 0) {
        std::fprintf(stderr,
                     "Cannot open the log file %s: %s. Give the user who runs the program write "
                     "access to it and to the LOG folder.\n",
                     path.c_str(), ErrnoText(errno).c_str());
        std::fflush(stderr);
        return;
    }
    const std::string data = line + "\r\n";
    [[maybe_unused]] ssize_t n = ::write(fd, data.data(), data.size());
    ::close(fd);
}

// What a failed systemctl said, for a message.
std::string Said(const CapturedRun& run) {
    const std::string text = Trim(run.output);
    return text.empty() ? "exit status " + IntToStr(run.status) : text;
}

} // namespace

std::string SystemdEscapePath(const std::string& path) {
    // Lexically normal, without the outer slashes.
    std::string simple;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/')
            ++i;
        size_t end = path.find('/', i);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(i, end - i);
        if (!part.empty() && part != ".")
            simple += (simple.empty() ? "" : "/") + part;
        i = end;
    }
    if (simple.empty())
        return "-";
    std::string out;
    for (size_t k = 0; k < simple.size(); ++k) {
        const char c = simple[k];
        if (c == '/')
            out += '-';
        else if (ValidUnitChar(c) && !(k == 0 && c == '.'))
            out += c;
        else
            EscapeByte(static_cast<unsigned char>(c), out);
    }
    return out;
}

std::string UserUnitText(const std::string& korvaned) {
    return "# Korvane's companion service: korvaned SRV working on the program folder\n"
           "# named by the instance (systemd-escape --path FOLDER). \"Install Service\" in\n"
           "# Advance Preferences makes and enables korvaned@FOLDER.service for the\n"
           "# folder of the window; unticking the box removes it again. The window stops\n"
           "# the service while it works on the folder and starts it when it closes.\n"
           "[Unit]\n"
           "Description=Korvane EDI mailbox in %f (korvaned SRV)\n"
           "Documentation=man:korvaned(1)\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "Environment=\"KORVANE_HOME=%f\"\n"
           "ExecStart=" +
           UnitWord(korvaned) +
           " SRV\n"
           "# SIGTERM ends the wait or the running cycle (the transfer in progress fails\n"
           "# cleanly, nothing is lost) and runs the close sequence.\n"
           "KillSignal=SIGTERM\n"
           "TimeoutStopSec=2min\n"
           "Restart=on-failure\n"
           "RestartSec=30s\n"
           "# Status 2: it could not start (the window works on the folder, or a setting\n"
           "# is wrong): no retries; the window starts it again when it closes.\n"
           "RestartPreventExitStatus=2\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

std::string KorvanedBesideThisProgram() {
    const std::string exe = RunningExecutablePath();
    return JoinPath(exe.empty() ? "." : FolderOf(exe), "korvaned");
}

void LogServiceEvent(const std::string& programDir, bool error, const std::string& text,
                     bool systemLog) {
    try {
        const std::time_t now = std::time(nullptr);
        const std::string line = TimeStamp(now) + (error ? "ERROR:" : "INFO:") + text;
        const std::string logs = JoinPath(programDir, kLogFolderName);
        AppendLogLine(programDir, JoinPath(logs, CurrentLogName(LogKind::Service, "", now)), line);
        if (systemLog) {
            const SettingsSnapshot file =
                SettingsSnapshot::Read(JoinPath(programDir, kSettingsFileName));
            AppendLogLine(programDir,
                          JoinPath(programDir, SysLogName(file.Text(keys::LogStep), now)), line);
        }
    } catch (const std::exception&) {
        // An unreadable settings file: the service's own log has the line.
    }
}

CompanionService::CompanionService(std::string programDir, std::string korvaned)
    : programDir_(std::move(programDir)), korvaned_(std::move(korvaned)),
      unit_("korvaned@" + SystemdEscapePath(programDir_) + ".service") {}

std::string CompanionService::UnitFilePath() const {
    return JoinPath(JoinPath(UserConfigFolder(), "systemd/user"), unit_);
}

bool CompanionService::Installed() const {
    const std::string settings = JoinPath(programDir_, kSettingsFileName);
    try {
        return SettingsSnapshot::ReadIfPresent(settings).Flag(keys::EnableOstrel);
    } catch (const std::exception&) {
        return false;
    }
}

CapturedRun CompanionService::Systemctl(const std::vector<std::string>& args,
                                        int64_t limitMs) const {
    std::vector<std::string> argv{"systemctl", "--user", "--no-ask-password"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCaptured(argv, limitMs);
}

void CompanionService::Log(bool error, const std::string& text) const {
    LogServiceEvent(programDir_, error, text);
}

std::string CompanionService::Install() {
    if (!IsExecutable(korvaned_))
        return "The service's program " + korvaned_ +
               " is missing or cannot be run. It belongs beside korvane; reinstall Korvane.";
    const CapturedRun manager = Systemctl({"show-environment"}, kQueryMs);
    if (!manager.Ok())
        return "Your systemd user manager does not answer (systemctl --user: " +
               manager.FirstLine() +
               "). The service runs under it: log in through a session that systemd starts "
               "(a desktop or ssh login, not su or sudo), then tick Install Service again.";
    const std::string user = LoginName();
    const CapturedRun linger =
        RunCaptured({"loginctl", "show-user", user, "--property=Linger", "--value"}, kQueryMs);
    if (!linger.Ok())
        return "Cannot tell whether lingering is on for " + user +
               " (loginctl: " + linger.FirstLine() +
               "). Without it the service would stop when you log out. Turn it on with "
               "\"loginctl enable-linger " +
               user + "\", then tick Install Service again.";
    if (Trim(linger.output) != "yes")
        return "Lingering is off for " + user +
               ": your services stop when you log out, so the folder would not be served "
               "then. Turn it on with \"loginctl enable-linger " +
               user + "\" (an administrator may have to), then tick Install Service again.";

    const std::string file = UnitFilePath();
    try {
        if (!ForceDirectories(FolderOf(file)))
            throw FileError("Cannot create the folder " + FolderOf(file) + ": " + ErrnoText(errno));
        AtomicWriteFile(file, UserUnitText(korvaned_), 0644);
    } catch (const KvError& e) {
        return std::string(e.what()) + ". Nothing was installed.";
    }
    auto undo = [&](const std::string& why) {
        Systemctl({"disable", unit_}, kQueryMs);
        std::remove(file.c_str());
        Systemctl({"daemon-reload"}, kQueryMs);
        return why + " Nothing was installed.";
    };
    if (const CapturedRun r = Systemctl({"daemon-reload"}, kQueryMs); !r.Ok())
        return undo("systemctl --user daemon-reload failed: " + Said(r) + ".");
    if (const CapturedRun r = Systemctl({"enable", unit_}, kQueryMs); !r.Ok())
        return undo("systemctl --user enable " + unit_ + " failed: " + Said(r) + ".");
    const CapturedRun loaded =
        Systemctl({"show", "--property=LoadState", "--value", unit_}, kQueryMs);
    if (Trim(loaded.output) != "loaded")
        return undo("systemd cannot load " + file + " (" + Said(loaded) + ").");
    Log(false, "Service " + unit_ + " installed and enabled (" + file +
                   "); it serves this folder whenever the window is closed.");
    return "";
}

std::string CompanionService::Remove() {
    const std::string file = UnitFilePath();
    const bool there = FileExists(file);
    const CapturedRun off = Systemctl({"disable", "--now", unit_}, kStartStopMs);
    if (!off.Ok() && there)
        return "systemctl --user disable --now " + unit_ + " failed: " + Said(off) +
               ". The service stays installed (" + file + ").";
    if (!off.Ok())
        return ""; // nothing was installed
    if (std::remove(file.c_str()) != 0 && errno != ENOENT)
        return "Cannot delete " + file + ": " + ErrnoText(errno) +
               ". The service is disabled but its unit stays.";
    Systemctl({"daemon-reload"}, kQueryMs);
    Log(false, "Service " + unit_ + " stopped, disabled and removed.");
    return "";
}

bool CompanionService::Active() const {
    return Systemctl({"is-active", "--quiet", unit_}, kQueryMs).Ok();
}

CapturedRun CompanionService::Stop() const {
    return Systemctl({"stop", unit_}, kStartStopMs);
}

CapturedRun CompanionService::Start() const {
    return Systemctl({"start", unit_}, kStartStopMs);
}

int RunLoggedHeadless(const std::string& programDir, const std::vector<std::string>& args) {
    bool service = false;
    for (const std::string& a : args)
        service = service || EqualsNoCase(a, "SRV");
    for (const std::string& a : args)
        service = service && !EqualsNoCase(a, "ONCE");
    if (!service)
        return RunHeadless(programDir, args);
    const std::string what = "korvaned SRV (process " + IntToStr(::getpid()) + ")";
    LogServiceEvent(programDir, false, what + " started.", false);
    const int status = RunHeadless(programDir, args);
    if (status == 0)
        LogServiceEvent(programDir, false, what + " ended.", false);
    else
        LogServiceEvent(programDir, true,
                        what + " ended with exit status " + IntToStr(status) +
                            ": it could not start or go on. Its reason is on its standard "
                            "error, which a service manager keeps in the journal.",
                        false);
    return status;
}

} // namespace kv
