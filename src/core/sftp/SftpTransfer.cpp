// SftpSession's transfers: downloads read to the server's end of file with
// several READ requests in flight, written to the file in order as they
// come; uploads keep several WRITE requests unacknowledged on the way, and
// are whole only once the server has answered the close of their file.
#include "sftp/SftpSessionImpl.h"

#include "sftp/SftpText.h"
#include "util/Errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// Bytes asked ahead by a download and unacknowledged in an upload: enough
// to keep a fast link busy, few enough for the memory bound.
constexpr uint32_t kReadAhead = 2 << 20;
constexpr uint32_t kWriteAhead = 2 << 20;

// A request in flight: its id and the part of the file it moves.
struct InFlight {
    uint32_t id;
    uint64_t offset;
    uint32_t length;
};

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
    TransferScope transferring(*this);
    Trace("Sent: open " + remoteName + " for reading");
    std::string h;
    uint32_t status = 0;
    if (!Open(path, sftp::kOpen, sftp::kFxfRead, 0, h, status, w))
        Refused(status, "open " + remoteName);
    ++transfers;
    GetResult result;
    std::deque<InFlight> queue;
    try {
        const Answer st = Call(std::move(NewRequest(sftp::kFstat).Str(h)), w);
        Expect(st, sftp::kAttrs, "stat " + remoteName);
        sftp::Reader sr(st.body);
        const sftp::Attrs attrs = sr.ReadAttrs();
        const int64_t size = attrs.HasSize() ? static_cast<int64_t>(attrs.size) : -1;
        if (remoteSize)
            *remoteSize = size;
        if (remoteTime)
            *remoteTime = attrs.HasTime()
                              ? sftp::ModificationTime(static_cast<std::time_t>(attrs.mtime))
                              : std::string();
        const int64_t limit = remote::DownloadLimit(size, expectedSize, self.Type);
        remote::CheckRoomFor(file.fd, size, "SFTP", remoteName);
        remote::WorkEvents::Scope scope(work, WorkDirection::Read, 0);
        remote::RateFloor rate(self, "SFTP");
        int64_t writtenBack = 0;
        // Reads are asked up to the known end of file (one more finds the
        // end); a file that grew meanwhile is read on to the server's end.
        int64_t known = size;
        uint64_t next = 0;
        const size_t most = std::max<size_t>(1, kReadAhead / readChunk);
        auto ask = [&](uint64_t offset, uint32_t length, bool first) {
            const uint32_t id =
                Send(std::move(NewRequest(sftp::kRead).Str(h).U64(offset).U32(length)));
            if (first)
                queue.push_front({id, offset, length});
            else
                queue.push_back({id, offset, length});
        };
        for (;;) {
            while (queue.size() < most && (known < 0 || next <= static_cast<uint64_t>(known))) {
                ask(next, readChunk, false);
                next += readChunk;
            }
            const InFlight p = queue.front();
            queue.pop_front();
            const Answer a = Await(p.id, w);
            if (a.type == sftp::kStatus && StatusOf(a) == sftp::kEof) {
                result.Complete = true; // everything before p.offset came
                break;
            }
            Expect(a, sftp::kData, "read " + remoteName);
            sftp::Reader r(a.body);
            const std::string_view data = r.View();
            if (!r.Ok() || data.empty() || data.size() > p.length)
                Expect(Answer{}, sftp::kData, "read " + remoteName);
            const uint32_t n = static_cast<uint32_t>(data.size());
            // A short answer: the rest is asked before anything later.
            if (n < p.length)
                ask(p.offset + n, p.length - n, true);
            if (known >= 0 && p.offset + n > static_cast<uint64_t>(known))
                known = -1;
            remote::WriteAll(file.fd, data.data(), n, localName);
            result.Bytes += n;
            rate.Moved(n);
            remote::CheckDownloadLimit(result.Bytes, limit, "SFTP", remoteName);
            remote::StartWriteBack(file.fd, result.Bytes, self.WriteBackBytes, writtenBack);
            Work(WorkDirection::Read, n);
            if (phase == Phase::Aborting)
                break;
        }
    } catch (...) {
        for (const InFlight& p : queue)
            Forget(p.id);
        CloseQuietly(h, remoteName, w);
        throw;
    }
    // Answers still on the way (past the end, or after an abort) are dropped.
    for (const InFlight& p : queue)
        Forget(p.id);
    CloseHandle(h, remoteName, w);
    Trace("Recv: " + std::to_string(result.Bytes) + " bytes" +
          (result.Complete ? "" : ", aborted"));
    return result;
}

bool SftpSession::Impl::Put(const std::string& localName, const std::string& remoteName,
                            uint32_t flags, bool exclusive) {
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
    TransferScope transferring(*this);
    Trace("Sent: open " + remoteName +
          (exclusive ? " for writing, as a new file" : " for writing"));
    // From here the server may make the file even when its answer is lost.
    ++transfers;
    std::string h;
    uint32_t status = 0;
    if (!Open(path, sftp::kOpen, flags, 0644, h, status, w)) {
        if (exclusive && (status == sftp::kFailure || status == sftp::kFileAlreadyExists)) {
            // The server's way of saying the name is taken: stat tells.
            sftp::Attrs attrs;
            uint32_t ignored = 0;
            if (Stat(path, attrs, ignored, w)) {
                Trace("Recv: taken");
                return false;
            }
        }
        Refused(status, "open " + remoteName);
    }
    std::deque<InFlight> queue;
    try {
        remote::WorkEvents::Scope scope(work, WorkDirection::Write, announced);
        remote::RateFloor rate(self, "SFTP");
        const uint32_t chunk = static_cast<uint32_t>(std::clamp<int64_t>(announced, 1, writeChunk));
        const size_t most = std::max<size_t>(1, kWriteAhead / writeChunk);
        std::vector<char> buffer(chunk);
        uint64_t sent = 0; // bytes read from the file and sent
        int64_t acked = 0; // bytes the server confirmed
        while (acked < announced) {
            while (static_cast<int64_t>(sent) < announced && queue.size() < most) {
                const uint32_t n = static_cast<uint32_t>(
                    std::min<int64_t>(chunk, announced - static_cast<int64_t>(sent)));
                for (uint32_t got = 0; got < n;) {
                    const ssize_t k = ::read(file.fd, buffer.data() + got, n - got);
                    if (k < 0 && errno == EINTR)
                        continue;
                    if (k < 0)
                        throw FileError("Cannot read the local file " + localName + ": " +
                                        ErrnoText(errno) + ".");
                    if (k == 0)
                        throw NoDataToReadError(); // the file shrank while being sent
                    got += static_cast<uint32_t>(k);
                }
                const uint32_t id = Send(std::move(NewRequest(sftp::kWrite)
                                                       .Str(h)
                                                       .U64(sent)
                                                       .Str(std::string_view(buffer.data(), n))));
                queue.push_back({id, sent, n});
                sent += n;
            }
            const InFlight p = queue.front();
            queue.pop_front();
            const uint32_t answer = StatusOf(Await(p.id, w));
            if (answer != sftp::kOk)
                Refused(answer, "write " + remoteName);
            acked += p.length;
            rate.Moved(p.length);
            Work(WorkDirection::Write, p.length);
            if (phase == Phase::Aborting)
                throw ConnClosedGracefullyError();
        }
    } catch (...) {
        for (const InFlight& p : queue)
            Forget(p.id);
        CloseQuietly(h, remoteName, w);
        throw;
    }
    CloseHandle(h, remoteName, w);
    Trace("Recv: " + std::to_string(announced) + " bytes stored");
    return true;
}

} // namespace kv
