// The folders the cleaning refuses, compared by device and inode: homes, the
// program and executable folders and the program's own folders, folders that
// hold mail, mount points, folders holding any of these.
#include "prefs/FolderRefusal.h"

#include "util/Fs.h"
#include "util/StateFiles.h"
#include "util/Text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// The folder path resolves to, or "" with errno set.
std::string Canonical(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::optional<FolderId> IdOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return FolderId{st.st_dev, st.st_ino};
}

// A mount point: its parent (".." crosses back out of a mount) is on another
// device or another mount.
bool IsMountPoint(const std::string& resolved) {
    struct stat self, parent;
    const std::string up = resolved + "/..";
    if (::stat(resolved.c_str(), &self) != 0 || ::stat(up.c_str(), &parent) != 0)
        return false;
    if (self.st_dev != parent.st_dev)
        return true;
    std::optional<uint64_t> selfMount = MountId(AT_FDCWD, resolved.c_str());
    std::optional<uint64_t> parentMount = MountId(AT_FDCWD, up.c_str());
    return selfMount && parentMount && *selfMount != *parentMount;
}

// Every home: $HOME, this user's and every account's.
std::vector<std::string> Homes() {
    std::vector<std::string> homes;
    auto add = [&homes](const char* dir) {
        if (dir && *dir)
            homes.push_back(dir);
    };
    add(std::getenv("HOME"));
    if (const passwd* pw = ::getpwuid(::getuid()))
        add(pw->pw_dir);
    ::setpwent();
    while (const passwd* pw = ::getpwent())
        add(pw->pw_dir);
    ::endpwent();
    return homes;
}

} // namespace

std::vector<WorkFolderKey> WorkFolderKeys() {
    std::vector<WorkFolderKey> list = {{keys::LocalInPath, "the inbox folder", true},
                                       {keys::LocalOutPath, "the outbox folder", true},
                                       {keys::LocalErrPath, "the error folder", false},
                                       {keys::LocalBackupPath, "the backup folder", false},
                                       {keys::LocalExPath, "the EX folder", true}};
    for (int n = 1; n <= 9; ++n) {
        list.push_back({keys::LocalInPath.Group(n), "the inbox folder " + IntToStr(n), true});
        list.push_back({keys::LocalOutPath.Group(n), "the outbox folder " + IntToStr(n), true});
    }
    return list;
}

void FolderGuard::Protect(const std::string& path, const std::string& what,
                          const std::string& keyName, bool holdsMail, bool noneInside) {
    std::optional<FolderId> id = IdOf(path);
    if (!id)
        return;
    if (keyName.empty()) // a folder of the program reached by two names keeps its first
        for (const Protected& p : protected_)
            if (p.id == *id && p.keyName.empty())
                return;
    protected_.push_back({*id, what, keyName, holdsMail, noneInside});
}

FolderGuard::FolderGuard(const std::string& programDir, const std::vector<WorkFolder>& workFolders,
                         const std::string& executableFolder) {
    for (const std::string& home : Homes()) {
        // Accounts without a home of their own (daemons: "/", "/nonexistent").
        if (std::optional<FolderId> id = IdOf(home); id && Canonical(home) != "/")
            Protect(home, "the home folder " + home);
    }
    Protect(programDir, "the program folder");
    Protect(executableFolder, "the folder of the running program " + executableFolder);
    for (const auto& [name, what] :
         {std::pair{kLogFolderName, "the program's log folder"},
          std::pair{kTemporaryFolderName, "the program's temporary folder"},
          std::pair{kLanguageFolderName, "the program's language folder"}})
        Protect(JoinPath(programDir, name), what, {}, false, true);
    const std::vector<WorkFolderKey> known = WorkFolderKeys();
    for (const WorkFolder& w : workFolders) {
        std::string path = FolderInProgram(programDir, w.path);
        std::string what = "the work folder";
        bool holdsMail = false;
        for (const WorkFolderKey& k : known)
            if (k.key.Path() == w.key.Path()) {
                what = k.what;
                holdsMail = k.holdsMail;
            }
        Protect(path, what + " " + w.path + " (" + w.key.Path() + ")", std::string(w.key.name),
                holdsMail);
    }
}

// The first protected folder (in the order of protected_) or mount point
// found under resolved; "" when there is none.
std::string FolderGuard::HeldInside(const std::string& resolved, const FolderId& self,
                                    CleanContext& ctx) const {
    size_t firstHit = protected_.size();
    std::string hitPath, mountPoint;
    uint64_t folders = 0;
    bool tooMany = false;
    std::optional<uint64_t> rootMount = MountId(AT_FDCWD, resolved.c_str());

    struct Level {
        int fd;
        std::string path;
        int depth;
    };
    std::vector<Level> pending;
    int top = ::open(resolved.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0)
        return {};
    pending.push_back({top, resolved, 0});
    while (!pending.empty() && firstHit > 0 && !tooMany) {
        Level level = std::move(pending.back());
        pending.pop_back();
        DIR* d = ::fdopendir(level.fd);
        if (!d) {
            ::close(level.fd);
            continue;
        }
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == ".." || (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN))
                continue;
            struct stat st;
            if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISDIR(st.st_mode))
                continue;
            ctx.Tick();
            const std::string path = level.path + "/" + name;
            const FolderId id{st.st_dev, st.st_ino};
            for (size_t i = 0; i < firstHit; ++i)
                if (protected_[i].id == id && !(id == self)) {
                    firstHit = i;
                    hitPath = path;
                }
            std::optional<uint64_t> mount = MountId(::dirfd(d), name.c_str());
            if (st.st_dev != self.dev || (rootMount && mount && *mount != *rootMount)) {
                if (mountPoint.empty())
                    mountPoint = path;
                continue; // what lies beyond is another file system's
            }
            if (++folders > FolderGuard::kMaxFoldersChecked) {
                tooMany = true;
                break;
            }
            if (level.depth + 1 >= CleanContext::kMaxDepth)
                continue; // the cleaning does not go deeper either
            int sub =
                ::openat(::dirfd(d), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                pending.push_back({sub, path, level.depth + 1});
        }
        ::closedir(d);
    }
    for (Level& rest : pending)
        ::close(rest.fd);
    if (firstHit < protected_.size())
        return "it holds " + protected_[firstHit].what + " (as " + hitPath + ")";
    if (!mountPoint.empty())
        return "it holds the mount point " + mountPoint +
               " (another file system, or a second name of another folder)";
    if (tooMany)
        return "it holds more than " + IntToStr(static_cast<int64_t>(kMaxFoldersChecked)) +
               " folders, too many to check that none of them is one the cleaning must keep";
    return {};
}

std::string FolderGuard::Refusal(const std::string& folder, const SettingKey& key,
                                 CleanContext& ctx) const {
    if (folder.empty() || folder[0] != '/')
        return "it is not an absolute path";
    errno = 0;
    const std::string resolved = Canonical(folder);
    if (resolved.empty()) {
        if (errno == ENOENT)
            return {};
        if (errno == ELOOP)
            return "its symbolic links form a loop (" + std::string(std::strerror(errno)) + ")";
        return "it cannot be resolved (" + std::string(std::strerror(errno)) + ")";
    }
    const std::optional<FolderId> self = IdOf(resolved);
    const std::optional<FolderId> root = IdOf("/");
    if (!self)
        return {}; // not a folder: nothing to empty
    if (resolved == "/" || (root && *self == *root))
        return "it is the root folder";
    for (const Protected& p : protected_) {
        if (!(p.id == *self))
            continue;
        if (p.keyName.empty())
            return "it is " + p.what;
        if (p.holdsMail && p.keyName != key.name)
            return "it is also " + p.what + ", whose files are not yet delivered or sent";
    }
    if (IsMountPoint(resolved))
        return "it is a mount point (another file system, or a second name of another folder)";
    // Inside a folder of the program's own: its ancestors by their real names.
    for (std::string up = FolderOf(resolved); !up.empty(); up = FolderOf(up)) {
        if (std::optional<FolderId> id = IdOf(up))
            for (const Protected& p : protected_)
                if (p.noneInside && p.id == *id)
                    return "it lies inside " + p.what;
        if (up == "/")
            break;
    }
    return HeldInside(resolved, *self, ctx);
}

} // namespace kv
