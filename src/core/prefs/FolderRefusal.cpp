// The folders the cleaning refuses: homes, the program folder and its own
// folders, folders that hold other work folders or mount points.
#include "prefs/FolderRefusal.h"

#include "util/Fs.h"
#include "util/StateFiles.h"
#include "util/Text.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace kv {

namespace {

std::string Canonical(const std::string& path) {
    if (path.empty())
        return {};
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// True when of lies strictly inside folder (both resolved).
bool Holds(const std::string& folder, const std::string& of) {
    if (folder.empty() || of.empty() || folder == of)
        return false;
    return folder == "/" || of.compare(0, folder.size() + 1, folder + "/") == 0;
}

// A mount point as /proc/self/mountinfo writes it: blanks, tabs, line breaks
// and backslashes as three octal digits after a backslash.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::vector<std::string> MountPoints() {
    std::vector<std::string> points;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (fields >> id >> parent >> device >> root >> point)
            points.push_back(Unescape(point));
    }
    return points;
}

void AddHome(std::vector<std::string>& homes, const char* dir) {
    if (!dir || !*dir)
        return;
    std::string home = Canonical(dir);
    if (home.empty() || home == "/")
        return; // accounts without a home of their own (daemons: "/", "/nonexistent")
    for (const std::string& h : homes)
        if (h == home)
            return;
    homes.push_back(home);
}

} // namespace

std::vector<WorkFolderKey> WorkFolderKeys() {
    std::vector<WorkFolderKey> list = {{keys::LocalInPath, "the inbox folder"},
                                       {keys::LocalOutPath, "the outbox folder"},
                                       {keys::LocalErrPath, "the error folder"},
                                       {keys::LocalBackupPath, "the backup folder"},
                                       {keys::LocalExPath, "the EX folder"}};
    for (int n = 1; n <= 9; ++n) {
        list.push_back({keys::LocalInPath.Group(n), "the inbox folder " + IntToStr(n)});
        list.push_back({keys::LocalOutPath.Group(n), "the outbox folder " + IntToStr(n)});
    }
    return list;
}

FolderGuard::FolderGuard(const std::string& programDir,
                         const std::vector<WorkFolder>& workFolders) {
    program_ = Canonical(programDir);
    std::vector<std::string> homes;
    AddHome(homes, std::getenv("HOME"));
    if (const passwd* pw = ::getpwuid(::getuid()))
        AddHome(homes, pw->pw_dir);
    // Every account's home: a folder that holds /home holds all of them.
    ::setpwent();
    while (const passwd* pw = ::getpwent())
        AddHome(homes, pw->pw_dir);
    ::endpwent();
    for (const std::string& h : homes)
        homes_.push_back({h, "the home folder " + h});

    for (const auto& [name, what] :
         {std::pair{kLogFolderName, "the program's log folder"},
          std::pair{kTemporaryFolderName, "the program's temporary folder"},
          std::pair{kLanguageFolderName, "the program's language folder"}}) {
        std::string own = Canonical(JoinPath(programDir, name));
        if (!own.empty())
            ownFolders_.push_back({own, what});
    }
    const std::vector<WorkFolderKey> known = WorkFolderKeys();
    for (const WorkFolder& w : workFolders) {
        std::string path =
            w.path.empty() || w.path[0] == '/' ? w.path : JoinPath(programDir, w.path);
        std::string resolved = Canonical(path);
        if (resolved.empty())
            continue;
        std::string what = "the work folder";
        for (const WorkFolderKey& k : known)
            if (k.key.Path() == w.key.Path())
                what = k.what;
        workFolders_.push_back({resolved, what + " " + w.path + " (" + w.key.Path() + ")"});
    }
    mountPoints_ = MountPoints();
}

std::string FolderGuard::Refusal(const std::string& folder) const {
    if (folder.empty() || folder[0] != '/')
        return "it is not an absolute path";
    std::string resolved = Canonical(folder);
    if (resolved.empty())
        return {};
    if (resolved == "/")
        return "it is the root folder";
    for (const Named& home : homes_) {
        if (resolved == home.path)
            return "it is " + home.what;
        if (Holds(resolved, home.path))
            return "it holds " + home.what;
    }
    if (resolved == program_)
        return "it is the program folder";
    if (Holds(resolved, program_))
        return "it holds the program folder";
    for (const Named& own : ownFolders_) {
        if (resolved == own.path)
            return "it is " + own.what;
        if (Holds(own.path, resolved))
            return "it lies inside " + own.what;
    }
    for (const Named& work : workFolders_)
        if (Holds(resolved, work.path))
            return "it holds " + work.what;
    for (const std::string& point : mountPoints_)
        if (Holds(resolved, point))
            return "it holds the mount point " + point + " (another file system)";
    return {};
}

} // namespace kv
