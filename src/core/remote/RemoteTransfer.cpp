// The transfers' shared pieces: work events, the bytes-per-second floor, the
// download limit and the local writes.
#include "remote/RemoteTransfer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kv::remote {

void WorkEvents::Begin(WorkDirection d, int64_t announcedSize) {
    State& s = state_[static_cast<int>(d)];
    if (++s.level == 1) {
        s.total = 0;
        Receiver().WorkBegin(d, announcedSize);
    }
}

void WorkEvents::End(WorkDirection d) {
    State& s = state_[static_cast<int>(d)];
    if (s.level == 1)
        Receiver().WorkEnd(d);
    if (s.level > 0)
        --s.level;
}

WorkEvents::Scope::~Scope() {
    try {
        w_.End(d_);
    } catch (...) {
        // A failing host handler must not hide the operation's own result.
    }
}

RateFloor::RateFloor(const RemoteSession& s, const char* protocol)
    : floor_(s.MinBytesPerSecond),
      window_(std::chrono::seconds(s.NetTimeOut > 0 ? s.NetTimeOut : 300)),
      since_(std::chrono::steady_clock::now()), protocol_(protocol) {}

void RateFloor::Moved(int64_t bytes) {
    if (floor_ <= 0)
        return;
    bytes_ += bytes;
    const auto now = std::chrono::steady_clock::now();
    if (now - since_ < window_)
        return;
    const int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(now - since_).count();
    if (bytes_ < floor_ * seconds)
        throw SocketError(10060, std::string("The ") + protocol_ + " server moved only " +
                                     std::to_string(bytes_) + " bytes in " +
                                     std::to_string(seconds) + " seconds, fewer than " +
                                     std::to_string(floor_) +
                                     " a second; the transfer was given up.");
    // A new window starts.
    since_ = now;
    bytes_ = 0;
}

int64_t DownloadLimit(int64_t serverSize, int64_t expectedSize, TransferType type) {
    const int64_t size = serverSize >= 0 ? serverSize : expectedSize;
    if (size < 0)
        return std::numeric_limits<int64_t>::max();
    return type == TransferType::Ascii ? 2 * size : size;
}

void CheckRoomFor(int fd, int64_t announced, const char* protocol, const std::string& remoteName) {
    struct statvfs st;
    if (announced <= 0 || ::fstatvfs(fd, &st) != 0)
        return;
    const unsigned long long room =
        static_cast<unsigned long long>(st.f_bavail) * static_cast<unsigned long long>(st.f_frsize);
    if (static_cast<unsigned long long>(announced) > room)
        throw FtpLimitError(std::string("The ") + protocol + " server announces " +
                            std::to_string(announced) + " bytes for " + remoteName +
                            ", more than the " + std::to_string(room) +
                            " bytes free on the local disk; the download was not started and "
                            "the file stays on the server. Free some disk space.");
}

void CheckDownloadLimit(int64_t bytes, int64_t limit, const char* protocol,
                        const std::string& remoteName) {
    if (bytes > limit)
        throw FtpLimitError(std::string("The ") + protocol + " server sent more than the " +
                            std::to_string(limit) + " bytes it announced for " + remoteName +
                            "; the download was stopped and the file stays on the server.");
}

void StartWriteBack(int fd, int64_t bytes, int64_t every, int64_t& writtenBack) {
    if (every <= 0 || bytes - writtenBack < every)
        return;
    ::sync_file_range(fd, writtenBack, bytes - writtenBack, SYNC_FILE_RANGE_WRITE);
    writtenBack = bytes;
}

void WriteAll(int fd, const char* p, size_t n, const std::string& name) {
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            throw FileError("Cannot write the local file " + name + ": " +
                            std::strerror(k < 0 ? errno : ENOSPC) +
                            ". Free some disk space or check the folder.");
        p += k;
        n -= static_cast<size_t>(k);
    }
}

} // namespace kv::remote
