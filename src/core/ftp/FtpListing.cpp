// FtpSession's listings: LIST or NLST over a data connection, read whole
// within the size limit and split into lines; and the typed listing of a
// folder, by MLSD where FEAT offers it, else by LIST with the pattern (and,
// where the server refuses the pattern, the folder's own listing filtered
// by it).
#include "ftp/FtpSessionImpl.h"

#include "ftp/FtpListingText.h"
#include "ftp/FtpReply.h"
#include "ftp/ReplyCodes.h"
#include "util/Text.h"

#include <set>
#include <vector>

namespace kv {

namespace rc = ftp::reply;

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

std::vector<std::string> FtpSession::Impl::ListingText(const std::string& command) {
    std::string text;
    const int64_t limit = self.MaxListingBytes;
    bool whole = Transfer(command, Kind::Read, [&](net::NetSocket& s, net::Waiter& w) {
        return ReadAll(s, w, [&](const char* p, size_t n) {
            if (static_cast<int64_t>(text.size() + n) > limit)
                throw FtpLimitError("The listing sent by the FTP server is larger than " +
                                    std::to_string(limit) +
                                    " bytes; it was refused. Check the remote folder.");
            text.append(p, n);
        });
    });
    if (!whole) {
        // A listing cut short could name files that do not exist.
        if (lastCode == rc::TransferAborted && !lastLines.empty())
            throw ProtocolReplyError(lastCode, lastLines.back());
        throw ConnClosedGracefullyError();
    }
    return ftp::SplitListing(text); // the transfer is over: in step also when this throws
}

void FtpSession::Impl::List(std::vector<std::string>& dest, const std::string& specifier,
                            bool details) {
    CheckArgument(specifier, "listing specifier");
    dest = ListingText(Trim((details ? "list " : "nlst ") + specifier));
}

bool FtpSession::Impl::OffersMlsd() {
    if (features == Features::Unknown) {
        // A server without FEAT refuses it: it then has no MLSD either.
        SendCommand("FEAT", {211});
        const int code = ReadReply({});
        features = Features::Plain;
        if (code == 211)
            for (const std::string& line : lastLines)
                if (StartsWithNoCase(TrimLeft(line), "MLST") ||
                    StartsWithNoCase(TrimLeft(line), "MLSD"))
                    features = Features::Mlsd;
    }
    return features == Features::Mlsd;
}

RemoteListing FtpSession::Impl::ListFolder(const std::string& folder, const std::string& pattern,
                                           bool onlyMatching) {
    CheckArgument(folder, "remote folder");
    CheckArgument(pattern, "listing pattern");
    if (OffersMlsd()) {
        try {
            RemoteListing out = MlsdListing(folder, pattern);
            if (onlyMatching)
                std::erase_if(out.entries, [&](const RemoteEntry& e) {
                    return !MatchesListingPattern(pattern, e.name);
                });
            return out;
        } catch (const ProtocolReplyError& e) {
            // Offered but refused here (a proxy, a folder it cannot read
            // that way): LIST may still work.
            if (!rc::IsRefusal(e.Code()) || e.Code() == rc::TransferAborted)
                throw;
            features = Features::Plain;
        }
    }
    std::vector<std::string> matching;
    bool patternRefused = pattern.empty();
    if (!pattern.empty()) {
        try {
            matching = ListingText("list " + folder + "/" + pattern);
        } catch (const ProtocolReplyError& e) {
            // Many servers do not expand patterns (pyftpdlib answers 550):
            // the folder's own listing, filtered, says the same.
            if (!rc::IsRefusal(e.Code()) || e.Code() == rc::TransferAborted)
                throw;
            patternRefused = true;
        }
    }
    // Also the folder's own listing: servers that expand "*.*" leave out
    // every name without a dot.
    std::vector<std::string> whole;
    if (patternRefused || !onlyMatching)
        whole = ListingText("list " + folder);
    RemoteListing out;
    std::set<std::string> names;
    for (const std::string& line : patternRefused ? whole : matching) {
        ++out.textLines;
        ftp::ListingLine l = ftp::ParseListingLine(line);
        if (!l.recognised)
            ++out.unknownLines;
        if (!l.hasEntry || (patternRefused && !MatchesListingPattern(pattern, l.entry.name)))
            continue;
        names.insert(l.entry.name);
        out.entries.push_back(std::move(l.entry));
    }
    // Lines the first loop did not read count too: a folder listing in a form
    // nobody knows is said even when "*.*" matched nothing.
    const std::set<std::string> counted(matching.begin(), matching.end());
    for (const std::string& line : onlyMatching ? std::vector<std::string>{} : whole) {
        ftp::ListingLine l = ftp::ParseListingLine(line);
        if (!patternRefused && !counted.count(line)) {
            ++out.textLines;
            if (!l.recognised)
                ++out.unknownLines;
        }
        if (l.hasEntry && l.entry.kind == RemoteKind::File && names.insert(l.entry.name).second)
            out.entries.push_back(std::move(l.entry));
    }
    return out;
}

RemoteListing FtpSession::Impl::MlsdListing(const std::string& folder, const std::string& pattern) {
    RemoteListing out;
    for (const std::string& line : ListingText("MLSD " + folder)) {
        ++out.textLines;
        ftp::ListingLine l = ftp::ParseMlsdLine(line);
        if (!l.recognised)
            ++out.unknownLines;
        // Hidden names stay out, as in the LIST of the servers that offer
        // MLSD and over SFTP: a centre's upload in progress stays unseen.
        else if (l.hasEntry && !StartsWith(l.entry.name, "."))
            out.entries.push_back(std::move(l.entry));
    }
    PatternFirst(out.entries, pattern);
    return out;
}

} // namespace kv
