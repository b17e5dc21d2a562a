#include "engine/send/OutboxHandle.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kv {

namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

OutboxHandle::~OutboxHandle() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool OutboxHandle::Open() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    // O_NONBLOCK: a fifo put in the file's place must not hang the cycle.
    int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

std::string OutboxHandle::ReadPath() const {
    return "/proc/self/fd/" + std::to_string(fd_);
}

struct stat OutboxHandle::Now() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        st.st_ino = 0;
    return st;
}

bool OutboxHandle::Unchanged(const struct stat& before) const {
    struct stat now = Now();
    struct stat named;
    return now.st_ino != 0 && now.st_size == before.st_size &&
           SameTime(now.st_mtim, before.st_mtim) && SameTime(now.st_ctim, before.st_ctim) &&
           ::lstat(path_.c_str(), &named) == 0 && named.st_dev == now.st_dev &&
           named.st_ino == now.st_ino;
}

bool OutboxHandle::NameStillOurs() const {
    struct stat now = Now();
    struct stat named;
    if (::lstat(path_.c_str(), &named) != 0)
        return false;
    if (named.st_dev != now.st_dev || named.st_ino != now.st_ino) {
        errno = EEXIST;
        return false;
    }
    return true;
}

bool OutboxHandle::Unlink() const {
    return NameStillOurs() && ::unlink(path_.c_str()) == 0;
}

bool OutboxHandle::MoveTo(const std::string& target) const {
    if (!NameStillOurs())
        return false;
    // A file with another name elsewhere would share its bytes with the
    // backup: whoever writes through that name would change the backup too.
    if (Now().st_nlink > 1) {
        errno = EMLINK;
        return false;
    }
    return ::rename(path_.c_str(), target.c_str()) == 0;
}

} // namespace kv
