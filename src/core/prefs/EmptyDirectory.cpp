// EmptyDirectory over directory descriptors (openat / unlinkat, no link
// followed) and the deletion rule for files.
#include "prefs/EmptyDirectory.h"

#include "util/Host.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kv {

void CleanContext::Tick() {
    ++entries;
    auto now = std::chrono::steady_clock::now();
    if (entries % kPumpEvery != 0 && now - lastPump_ < std::chrono::milliseconds(kPumpAfterMs))
        return;
    lastPump_ = now;
    if (progress)
        progress(entries);
    if (host)
        host->ProcessPendingEvents();
}

bool MayDeleteFile(int dirFd, const char* name, const struct stat& st, const BusyFiles* busy) {
    if (::faccessat(dirFd, name, W_OK, 0) != 0)
        return false;
    if (::geteuid() == 0 && (st.st_mode & S_IWUSR) == 0)
        return false;
    return !busy || !busy->Contains(st.st_dev, st.st_ino);
}

std::optional<uint64_t> MountId(int dirFd, const char* name) {
    struct statx stx;
    const int flags = AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH);
    if (::statx(dirFd, name, flags, STATX_MNT_ID, &stx) != 0 || !(stx.stx_mask & STATX_MNT_ID))
        return std::nullopt;
    return stx.stx_mnt_id;
}

namespace {

// Names of a folder's entries but "." and "..", read before anything is removed.
std::vector<std::string> EntryNames(int dirFd) {
    std::vector<std::string> names;
    int fd = ::dup(dirFd);
    if (fd < 0)
        return names;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return names;
    }
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    ::closedir(d);
    return names;
}

struct Root {
    dev_t dev;
    std::optional<uint64_t> mount;
};

void EmptyAt(int dirFd, const std::string& path, bool recursive, const Root& root, int depth,
             CleanContext& ctx) {
    for (const std::string& name : EntryNames(dirFd)) {
        ctx.Tick();
        struct stat st;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (!recursive)
                continue;
            const std::string subPath = path + "/" + name;
            std::optional<uint64_t> mount = MountId(dirFd, name.c_str());
            if (st.st_dev != root.dev || (root.mount && mount && *mount != *root.mount)) {
                ctx.left.push_back(subPath + ": a mount point, neither entered nor removed");
                continue;
            }
            if (depth >= CleanContext::kMaxDepth) {
                ctx.left.push_back(subPath + ": deeper than " +
                                   std::to_string(CleanContext::kMaxDepth) +
                                   " folders, left as it is");
                continue;
            }
            int sub =
                ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) {
                EmptyAt(sub, subPath, true, root, depth + 1, ctx);
                ::close(sub);
            }
            if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0)
                ++ctx.removed;
            continue;
        }
        if (S_ISREG(st.st_mode) && !MayDeleteFile(dirFd, name.c_str(), st, ctx.busy))
            continue;
        if (::unlinkat(dirFd, name.c_str(), 0) == 0)
            ++ctx.removed;
    }
}

} // namespace

bool EmptyDirectory(const std::string& path, bool recursive, CleanContext& ctx) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true;
    struct stat st;
    if (::fstat(fd, &st) == 0)
        EmptyAt(fd, path, recursive, Root{st.st_dev, MountId(fd, "")}, 0, ctx);
    ::close(fd);
    return true;
}

} // namespace kv
