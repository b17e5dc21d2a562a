// FtpSession's listing: LIST or NLST over a data connection, read whole
// within the size limit and split into lines.
#include "ftp/FtpSessionImpl.h"

#include "ftp/FtpReply.h"
#include "ftp/ReplyCodes.h"
#include "util/Text.h"

namespace kv {

bool FtpSession::Impl::ReadAll(net::NetSocket& s, net::Waiter& w,
                               const std::function<void(const char*, size_t)>& sink) {
    remote::WorkEvents::Scope scope(work, WorkDirection::Read, 0);
    remote::RateFloor rate(self, "FTP");
    for (;;) {
        long n = s.Receive(chunk.data(), chunk.size(), w);
        if (n < 0) {
            CheckClosedLocally();
            return false;
        }
        if (n == 0)
            return true;
        sink(chunk.data(), static_cast<size_t>(n));
        rate.Moved(n);
        Work(WorkDirection::Read, n);
    }
}

void FtpSession::Impl::List(std::vector<std::string>& dest, const std::string& specifier,
                            bool details) {
    CheckArgument(specifier, "listing specifier");
    std::string text;
    const int64_t limit = self.MaxListingBytes;
    bool whole = Transfer(Trim((details ? "list " : "nlst ") + specifier), Kind::Read,
                          [&](net::NetSocket& s, net::Waiter& w) {
                              return ReadAll(s, w, [&](const char* p, size_t n) {
                                  if (static_cast<int64_t>(text.size() + n) > limit)
                                      throw FtpLimitError(
                                          "The listing sent by the FTP server is larger "
                                          "than " +
                                          std::to_string(limit) +
                                          " bytes; it was refused. Check the remote folder.");
                                  text.append(p, n);
                              });
                          });
    if (!whole) {
        // A listing cut short could name files that do not exist.
        if (lastCode == ftp::reply::TransferAborted && !lastLines.empty())
            throw ProtocolReplyError(lastCode, lastLines.back());
        throw ConnClosedGracefullyError();
    }
    std::vector<std::string> lines;
    lines = ftp::SplitListing(text); // the transfer is over: in step also when this throws
    dest = std::move(lines);
}

} // namespace kv
