#include "engine/receive/InboxDelivery.h"

#include "util/Errors.h"
#include "util/Fs.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// Listings never yield a name with a control character (they are refused),
// so no delivered file can ever be taken for one of these.
constexpr char kCopyMark[] = ".part\x01";

std::string HiddenCopyName(const std::string& target) {
    static std::mt19937_64 rng{std::random_device{}()};
    char hex[20];
    std::snprintf(hex, sizeof hex, ".%016llx", static_cast<unsigned long long>(rng()));
    std::string base = FileNameOf(target);
    const size_t tail = 1 + 17 + sizeof kCopyMark - 1;
    base.resize(std::min(base.size(), kMaxNameBytes - tail));
    std::string name = ".";
    name.append(base);
    name.append(hex);
    name.append(kCopyMark);
    return JoinPath(FolderOf(target), name);
}

bool CopyBytes(int in, int out) {
    for (;;) {
        ssize_t n = ::sendfile(out, in, nullptr, 1 << 20);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
    }
}

Delivery Refused(int err, const std::string& target, std::string& why) {
    if (err == EEXIST)
        return Delivery::Taken;
    why = "Cannot write file " + target + ": " + ErrnoText(err);
    return Delivery::Failed;
}

// A flushed copy of tmpPath takes the name target, or nothing appears.
Delivery CopyAcross(const std::string& tmpPath, const std::string& target, std::string& why) {
    int in = ::open(tmpPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return Refused(errno, tmpPath, why);
    struct stat st {};
    ::fstat(in, &st);
    const mode_t mode = st.st_mode & 0777;
    std::string hidden;
    int out = ::open(FolderOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (out >= 0)
        TakeFolderOwner(out, FolderOf(target));
    if (out < 0) {
        // A file system without unnamed files: a hidden name of our own.
        hidden = HiddenCopyName(target);
        out = OpenCreatingForFolderOwner(hidden, O_WRONLY | O_EXCL | O_CLOEXEC, mode,
                                         FolderOf(target));
    }
    if (out < 0) {
        int e = errno;
        ::close(in);
        return Refused(e, target, why);
    }
    bool ok = CopyBytes(in, out) && ::fsync(out) == 0;
    int e = errno;
    ::close(in);
    if (ok) {
        if (hidden.empty()) {
            const std::string self = "/proc/self/fd/" + std::to_string(out);
            ok = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
        } else {
            ok = ::link(hidden.c_str(), target.c_str()) == 0;
        }
        e = errno;
    }
    ::close(out);
    if (!hidden.empty())
        ::unlink(hidden.c_str());
    return ok ? Delivery::Copied : Refused(e, target, why);
}

} // namespace

Delivery DeliverIntoInbox(const std::string& tmpPath, const std::string& target, std::string& why) {
    // A root run leaves the file to the inbox's owner, who reads it next.
    TakeFolderOwner(tmpPath, FolderOf(target));
    if (::renameat2(AT_FDCWD, tmpPath.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return Delivery::Moved;
    int e = errno;
    if (e == EINVAL || e == ENOSYS) {
        // No RENAME_NOREPLACE here: link never replaces either.
        if (::link(tmpPath.c_str(), target.c_str()) != 0)
            e = errno;
        else if (::unlink(tmpPath.c_str()) == 0)
            return Delivery::Moved;
        else
            return Delivery::Copied; // the caller removes tmpPath once that is recorded
    }
    if (e == EXDEV || e == EPERM || e == EMLINK)
        return CopyAcross(tmpPath, target, why);
    return Refused(e, target, why);
}

bool IsInboxCopyName(const std::string& name) {
    const size_t markLength = sizeof kCopyMark - 1;
    return name.size() > 1 + 17 + markLength && name[0] == '.' &&
           name.compare(name.size() - markLength, markLength, kCopyMark) == 0;
}

int RemoveInboxCopies(const std::string& folder) {
    int removed = 0;
    for (const std::string& name : ListFolder(folder, "*", true))
        if (IsInboxCopyName(name) && ::unlink(JoinPath(folder, name).c_str()) == 0)
            ++removed;
    return removed;
}

} // namespace kv
