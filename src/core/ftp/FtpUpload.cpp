// FtpSession's upload: STOR, APPE or STOU of a local file, sent with
// sendfile where possible.
#include "ftp/FtpSessionImpl.h"

#include "ftp/ReplyCodes.h"
#include "util/Errors.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

void FtpSession::Impl::Put(const std::string& localName, const std::string& remoteName, bool append,
                           SizesFirst* first) {
    CheckArgument(remoteName, "remote file name");
    if (!ControlUsable())
        throw ConnClosedGracefullyError();
    FileGuard file;
    file.fd = ::open(localName.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0)
        throw FileError("Cannot open the local file " + localName +
                        " for reading: " + ErrnoMessage(errno) + ".");
    if (!S_ISREG(st.st_mode))
        throw FileError("The local file " + localName + " is not a regular file.");
    off_t pos = ::lseek(file.fd, 0, SEEK_CUR);
    const int64_t announced = static_cast<int64_t>(st.st_size) - (pos > 0 ? pos : 0);
    std::string command = remoteName.empty() ? "STOU" : (append ? "APPE " : "STOR ") + remoteName;
    bool whole = Transfer(
        command, Kind::Write,
        [&](net::NetSocket& s, net::Waiter& w) {
            remote::WorkEvents::Scope scope(work, WorkDirection::Write, announced);
            remote::RateFloor rate(self, "FTP");
            int64_t total = 0;
            bool zeroCopy = true;
            while (total < announced) {
                // sendfile takes more per call; a buffer copy takes a chunk.
                const int64_t step = zeroCopy ? kSpliceBytes : static_cast<int64_t>(kChunk);
                size_t want = static_cast<size_t>(std::min<int64_t>(step, announced - total));
                long n = -2;
                if (zeroCopy) {
                    n = s.SendFile(file.fd, want, w);
                    if (n == -2) {
                        zeroCopy = false;
                        continue;
                    }
                } else {
                    ssize_t k;
                    do {
                        k = ::read(file.fd, chunk.data(), want);
                    } while (k < 0 && errno == EINTR);
                    if (k < 0)
                        throw FileError("Cannot read the local file " + localName + ": " +
                                        ErrnoMessage(errno) + ".");
                    n = k;
                    if (k > 0 && !s.Send(chunk.data(), static_cast<size_t>(k), w))
                        n = -1;
                }
                if (n < 0) {
                    // Closed locally: an aborted upload fails as well.
                    throw ConnClosedGracefullyError();
                }
                if (n == 0)
                    throw NoDataToReadError(); // the file shrank while being sent
                total += n;
                rate.Moved(n);
                Work(WorkDirection::Write, n);
            }
            return true;
        },
        first);
    if (first && first->skipped)
        return;
    if (!whole) {
        // The server refused the end of the upload (426): it must not
        // count as stored.
        if (lastCode == ftp::reply::TransferAborted && !lastLines.empty())
            throw ProtocolReplyError(lastCode, lastLines.back());
        throw ConnClosedGracefullyError();
    }
}

} // namespace kv
