// SftpSession's transfers: the work events, downloads read to the server's
// end of file with several requests in flight, and uploads that keep up to
// 1 MiB unacknowledged on the way; an upload is whole only once the server
// has answered the close of its file.
#include "sftp/SftpSessionImpl.h"

#include "sftp/SftpText.h"
#include "util/Errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

constexpr size_t kUploadWindow = 1 << 20; // bytes in flight of an upload
constexpr size_t kReadBuffer = 1 << 20;   // a large download asks ahead a multiple

struct LocalFile {
    int fd = -1;
    ~LocalFile() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string ErrnoText(int err) {
    return std::strerror(err);
}

} // namespace

void SftpSession::Impl::CloseHandle(LIBSSH2_SFTP_HANDLE* h, const std::string& what,
                                    net::Waiter& w) {
    const int rc = Retry([&] { return libssh2_sftp_close_handle(h); }, w);
    if (rc != 0)
        Fail(rc, "close " + what);
}

GetResult SftpSession::Impl::Get(const std::string& remoteName, const std::string& localName,
                                 bool overwrite, int64_t* remoteSize, std::string* remoteTime,
                                 int64_t expectedSize) {
    if (!overwrite && ::access(localName.c_str(), F_OK) == 0)
        throw FileAlreadyExistsError();
    CheckOpen();
    LocalFile file;
    file.fd = ::open(localName.c_str(),
                     O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL), 0644);
    if (file.fd < 0) {
        if (errno == EEXIST)
            throw FileAlreadyExistsError();
        throw FileError("Cannot create the local file " + localName + ": " + ErrnoText(errno) +
                        ". Check the folder and its permissions.");
    }
    net::Waiter w = MakeWaiter();
    const std::string path = Path(remoteName);
    aborting = false;
    Trace("Sent: open " + remoteName + " for reading");
    LIBSSH2_SFTP_HANDLE* h = RetryPointer<LIBSSH2_SFTP_HANDLE>(
        [&] {
            return libssh2_sftp_open_ex(sftp, path.data(), static_cast<unsigned>(path.size()),
                                        LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
        },
        w);
    if (!h)
        Fail(libssh2_session_last_errno(ssh), "open " + remoteName);
    ++transfers;
    GetResult result;
    try {
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        const int rc = Retry([&] { return libssh2_sftp_fstat_ex(h, &attrs, 0); }, w);
        if (rc != 0)
            Fail(rc, "stat " + remoteName);
        const int64_t size =
            (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) ? static_cast<int64_t>(attrs.filesize) : -1;
        if (remoteSize)
            *remoteSize = size;
        if (remoteTime)
            *remoteTime = (attrs.flags & LIBSSH2_SFTP_ATTR_ACMODTIME)
                              ? sftp::ModificationTime(static_cast<std::time_t>(attrs.mtime))
                              : std::string();
        const int64_t limit = remote::DownloadLimit(size, expectedSize, self.Type);
        // libssh2 asks ahead a multiple of the buffer: a small file needs
        // one request, a large one keeps many in flight.
        const size_t want =
            size >= 0 ? static_cast<size_t>(std::min<int64_t>(size + 1, kReadBuffer)) : kReadBuffer;
        std::vector<char> buffer(std::max<size_t>(4096, (want + 4095) / 4096 * 4096));
        remote::WorkEvents::Scope scope(work, WorkDirection::Read, 0);
        remote::RateFloor rate(self, "SFTP");
        int64_t writtenBack = 0;
        for (;;) {
            const ssize_t n =
                Retry([&] { return libssh2_sftp_read(h, buffer.data(), buffer.size()); }, w);
            if (n < 0)
                Fail(static_cast<int>(n), "read " + remoteName);
            if (n == 0) {
                result.Complete = true;
                break;
            }
            remote::WriteAll(file.fd, buffer.data(), static_cast<size_t>(n), localName);
            result.Bytes += n;
            rate.Moved(n);
            remote::CheckDownloadLimit(result.Bytes, limit, "SFTP", remoteName);
            remote::StartWriteBack(file.fd, result.Bytes, self.WriteBackBytes, writtenBack);
            Work(WorkDirection::Read, n);
            if (aborting)
                break;
        }
    } catch (...) {
        if (Usable()) {
            try {
                CloseHandle(h, remoteName, w);
            } catch (...) {
            }
        }
        throw;
    }
    CloseHandle(h, remoteName, w);
    aborting = false;
    Trace("Recv: " + std::to_string(result.Bytes) + " bytes" +
          (result.Complete ? "" : ", aborted"));
    return result;
}

bool SftpSession::Impl::Put(const std::string& localName, const std::string& remoteName,
                            unsigned long flags, bool exclusive) {
    CheckOpen();
    LocalFile file;
    file.fd = ::open(localName.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0)
        throw FileError("Cannot open the local file " + localName +
                        " for reading: " + ErrnoText(errno) + ".");
    if (!S_ISREG(st.st_mode))
        throw FileError("The local file " + localName + " is not a regular file.");
    const off_t pos = ::lseek(file.fd, 0, SEEK_CUR);
    const int64_t announced = static_cast<int64_t>(st.st_size) - (pos > 0 ? pos : 0);
    net::Waiter w = MakeWaiter();
    const std::string path = Path(remoteName);
    aborting = false;
    Trace("Sent: open " + remoteName +
          (exclusive ? " for writing, as a new file" : " for writing"));
    // From here the server may make the file even when its answer is lost.
    ++transfers;
    LIBSSH2_SFTP_HANDLE* h = RetryPointer<LIBSSH2_SFTP_HANDLE>(
        [&] {
            return libssh2_sftp_open_ex(sftp, path.data(), static_cast<unsigned>(path.size()),
                                        flags, 0644, LIBSSH2_SFTP_OPENFILE);
        },
        w);
    if (!h) {
        const int rc = libssh2_session_last_errno(ssh);
        if (exclusive && rc == LIBSSH2_ERROR_SFTP_PROTOCOL) {
            const unsigned long status = libssh2_sftp_last_error(sftp);
            if (status == LIBSSH2_FX_FAILURE || status == LIBSSH2_FX_FILE_ALREADY_EXISTS) {
                // The server's way of saying the name is taken: stat tells.
                LIBSSH2_SFTP_ATTRIBUTES attrs{};
                unsigned long ignored = 0;
                if (Stat(path, attrs, ignored, w)) {
                    Trace("Recv: taken");
                    return false;
                }
            }
            const std::string text =
                "SFTP: " + sftp::StatusText(status) + " (open " + remoteName + ")";
            Trace("Recv: " + text);
            throw ProtocolReplyError(sftp::ReplyCodeOf(status), text);
        }
        Fail(rc, "open " + remoteName);
    }
    try {
        remote::WorkEvents::Scope scope(work, WorkDirection::Write, announced);
        remote::RateFloor rate(self, "SFTP");
        std::vector<char> buffer(
            static_cast<size_t>(std::clamp<int64_t>(announced, 1, kUploadWindow)));
        size_t held = 0;   // bytes at the buffer's start not acknowledged yet
        int64_t read = 0;  // bytes read from the file
        int64_t acked = 0; // bytes the server confirmed
        while (acked < announced) {
            while (read < announced && held < buffer.size()) {
                const size_t room = static_cast<size_t>(std::min<int64_t>(
                    static_cast<int64_t>(buffer.size() - held), announced - read));
                const ssize_t k = ::read(file.fd, buffer.data() + held, room);
                if (k < 0 && errno == EINTR)
                    continue;
                if (k < 0)
                    throw FileError("Cannot read the local file " + localName + ": " +
                                    ErrnoText(errno) + ".");
                if (k == 0)
                    throw NoDataToReadError(); // the file shrank while being sent
                held += static_cast<size_t>(k);
                read += k;
            }
            const ssize_t n = Retry([&] { return libssh2_sftp_write(h, buffer.data(), held); }, w);
            if (n < 0)
                Fail(static_cast<int>(n), "write " + remoteName);
            // libssh2 takes the unacknowledged bytes again from the start.
            std::memmove(buffer.data(), buffer.data() + n, held - static_cast<size_t>(n));
            held -= static_cast<size_t>(n);
            acked += n;
            rate.Moved(n);
            Work(WorkDirection::Write, n);
            if (aborting)
                throw ConnClosedGracefullyError();
        }
    } catch (...) {
        if (Usable()) {
            try {
                CloseHandle(h, remoteName, w);
            } catch (...) {
            }
        }
        aborting = false;
        throw;
    }
    CloseHandle(h, remoteName, w);
    Trace("Recv: " + std::to_string(announced) + " bytes stored");
    return true;
}

} // namespace kv
