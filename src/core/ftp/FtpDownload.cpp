// FtpSession's download: RETR into a local file, spliced from the socket
// through the session's pipe where possible, and the size check of a TLS
// stream that ended without close_notify.
#include "ftp/FtpSessionImpl.h"

#include "ftp/FtpReply.h"
#include "util/Errors.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kv {

bool FtpSession::Impl::OpenSplicePipe() {
    if (splicePipe[0].fd >= 0)
        return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    splicePipe[0].fd = fds[0];
    splicePipe[1].fd = fds[1];
    // A larger pipe moves what the socket holds in fewer calls.
    const int capacity = ::fcntl(fds[1], F_SETPIPE_SZ, kSpliceBytes);
    splicePipeBytes = capacity > static_cast<int>(kChunk) ? static_cast<size_t>(capacity) : kChunk;
    return true;
}

void FtpSession::Impl::DropSplicePipe() {
    for (FileGuard& g : splicePipe) {
        if (g.fd >= 0)
            ::close(g.fd);
        g.fd = -1;
    }
}

GetResult FtpSession::Impl::Get(const std::string& remoteName, const std::string& localName,
                                bool overwrite, int64_t* remoteSize, std::string* remoteTime,
                                int64_t expectedSize) {
    CheckArgument(remoteName, "remote file name");
    if (!overwrite && (::access(localName.c_str(), F_OK) == 0))
        throw FileAlreadyExistsError();
    if (!ControlUsable())
        throw ConnClosedGracefullyError();
    FileGuard file;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
    file.fd = ::open(localName.c_str(), flags, 0644);
    if (file.fd < 0) {
        if (errno == EEXIST)
            throw FileAlreadyExistsError();
        throw FileError("Cannot create the local file " + localName + ": " + ErrnoMessage(errno) +
                        ". Check the folder and its permissions.");
    }
    // The bytes go from the socket to the file through a pipe, without a
    // copy in this process; where that is not possible, through a buffer.
    bool zeroCopy = OpenSplicePipe();
    int pipeFds[2] = {splicePipe[0].fd, splicePipe[1].fd};
    // A download that ends early may leave bytes in the pipe.
    struct DropPipeUnlessDone {
        Impl& i;
        bool done = false;
        ~DropPipeUnlessDone() {
            if (!done)
                i.DropSplicePipe();
        }
    } pipeGuard{*this};
    GetResult result;
    SizesFirst first;
    first.names.push_back(remoteName);
    first.withTimes = remoteTime != nullptr;
    int64_t writtenBack = 0;
    int64_t limit = -1;     // known once the size answer is read
    bool truncated = false; // TLS ended without close_notify
    bool whole = Transfer(
        "retr " + remoteName, Kind::Read,
        [&](net::NetSocket& s, net::Waiter& w) {
            // Before any byte is written: a size the disk cannot hold.
            if (!first.answers.empty())
                remote::CheckRoomFor(file.fd, first.answers.front().size, "FTP", remoteName);
            remote::WorkEvents::Scope scope(work, WorkDirection::Read, 0);
            remote::RateFloor rate(self, "FTP");
            for (;;) {
                long n;
                if (zeroCopy) {
                    n = s.ReceiveToFile(file.fd, splicePipeBytes, pipeFds, w);
                    if (n == -2) {
                        zeroCopy = false;
                        continue;
                    }
                    if (n == -3)
                        throw FileError("Cannot write the local file " + localName + ": " +
                                        ErrnoMessage(errno) +
                                        ". Free some disk space or check the folder.");
                } else {
                    n = s.Receive(chunk.data(), chunk.size(), w);
                    if (n > 0)
                        remote::WriteAll(file.fd, chunk.data(), static_cast<size_t>(n), localName);
                }
                if (n < 0) {
                    CheckClosedLocally();
                    return false;
                }
                if (n == 0) {
                    truncated = s.Truncated();
                    return true;
                }
                result.Bytes += n;
                rate.Moved(n);
                if (limit < 0)
                    limit = remote::DownloadLimit(
                        first.answers.empty() ? -1 : first.answers.front().size, expectedSize,
                        self.Type);
                remote::CheckDownloadLimit(result.Bytes, limit, "FTP", remoteName);
                remote::StartWriteBack(file.fd, result.Bytes, self.WriteBackBytes, writtenBack);
                Work(WorkDirection::Read, n);
            }
        },
        remoteSize || remoteTime ? &first : nullptr);
    if (remoteSize)
        *remoteSize = first.answers.empty() ? -1 : first.answers.front().size;
    if (remoteTime)
        *remoteTime = first.times.empty() ? std::string() : first.times.front();
    pipeGuard.done = true;
    result.Complete = whole && (!truncated || RemoteSizeIs(remoteName, result.Bytes));
    return result;
}

bool FtpSession::Impl::RemoteSizeIs(const std::string& remoteName, int64_t bytes) {
    int savedCode = lastCode;
    std::vector<std::string> savedLines = lastLines;
    Send(SizeCommands({remoteName}));
    const bool same = ReadSizeAnswer().size == bytes;
    lastCode = savedCode;
    lastLines = std::move(savedLines);
    return same;
}

} // namespace kv
