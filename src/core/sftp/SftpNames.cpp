// SftpSession's work on names: server paths from the current folder,
// attributes, typed listings (and listings in the UNIX "ls -l" form), renames that never replace,
// deletes, and sizes with modification times.
#include "sftp/SftpSessionImpl.h"

#include "sftp/SftpText.h"

#include <climits>
#include <ctime>

namespace kv {

namespace {

// Listings never hold more lines than this (as over FTP).
constexpr size_t kMaxListingLines = 1000000;
// Names a listing may bring in all, shown or not (hidden names and names a
// pattern leaves out count too): a server that answers with hidden names
// without end cannot hold a cycle.
constexpr uint64_t kMaxListingNames = 2000000;

// Without a type in its attributes an entry counts as a file, as "ls -l"
// lines made from such attributes always did.
RemoteKind KindOf(const sftp::Attrs& a) {
    if (!a.HasType())
        return RemoteKind::File;
    switch (a.permissions & sftp::kIfMt) {
    case sftp::kIfReg:
        return RemoteKind::File;
    case sftp::kIfDir:
        return RemoteKind::Folder;
    case sftp::kIfLnk:
        return RemoteKind::Link;
    default:
        return RemoteKind::Other;
    }
}

} // namespace

std::string SftpSession::Impl::Path(const std::string& name) const {
    if (name.find('\0') != std::string::npos)
        throw FtpArgumentError("The remote name \"" + name +
                               "\" holds a zero byte, which cannot be sent to the SFTP server.");
    return sftp::JoinRemote(cwd, name);
}

bool SftpSession::Impl::Stat(const std::string& path, sftp::Attrs& attrs, uint32_t& status,
                             net::Waiter& w) {
    const Answer a = Call(std::move(NewRequest(sftp::kStat).Str(path)), w);
    if (!Answered(a, sftp::kAttrs, status, "stat " + path))
        return false;
    sftp::Reader r(a.body);
    attrs = r.ReadAttrs();
    return true;
}

std::string SftpSession::Impl::RealPath(const std::string& path, net::Waiter& w) {
    const Answer a = Call(std::move(NewRequest(sftp::kRealpath).Str(path)), w);
    Expect(a, sftp::kName, "folder " + path);
    sftp::Reader r(a.body);
    const uint32_t count = r.U32();
    std::string name = r.Str();
    if (!r.Ok() || count != 1)
        Expect(Answer{}, sftp::kName, "folder " + path);
    return name;
}

bool SftpSession::Impl::Open(const std::string& path, uint8_t type, uint32_t flags, uint32_t mode,
                             std::string& handle, uint32_t& status, net::Waiter& w) {
    sftp::Request r = NewRequest(type);
    r.Str(path);
    if (type == sftp::kOpen)
        r.U32(flags).Mode(mode);
    const Answer a = Call(std::move(r), w);
    if (!Answered(a, sftp::kHandle, status, "open " + path))
        return false;
    sftp::Reader h(a.body);
    handle = h.Str();
    return true;
}

void SftpSession::Impl::CloseHandle(const std::string& handle, const std::string& what,
                                    net::Waiter& w) {
    const uint32_t status = StatusOf(Call(std::move(NewRequest(sftp::kClose).Str(handle)), w));
    if (status != sftp::kOk)
        Refused(status, "close " + what);
}

void SftpSession::Impl::CloseQuietly(const std::string& handle, const std::string& what,
                                     net::Waiter& w) {
    if (!Usable())
        return;
    try {
        CloseHandle(handle, what, w);
    } catch (...) {
    }
}

void SftpSession::Impl::List(std::vector<std::string>& dest, const std::string& specifier,
                             bool details) {
    net::Waiter w = MakeWaiter();
    const std::string target = specifier.empty() ? "." : specifier;
    const size_t slash = target.rfind('/');
    const std::string last = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string folder = target, pattern;
    const std::time_t now = std::time(nullptr);
    auto lineOf = [&](const std::string& name, const sftp::Attrs& a) {
        if (!details)
            return name;
        const unsigned long mode = a.HasType() ? a.permissions : (sftp::kIfReg | 0644);
        return sftp::ListingLine(name, mode, a.uid, a.gid,
                                 a.HasSize() ? static_cast<int64_t>(a.size) : 0,
                                 static_cast<std::time_t>(a.mtime), now);
    };
    Trace("Sent: list " + target);
    if (sftp::IsPattern(last)) {
        folder = slash == std::string::npos ? "." : target.substr(0, slash);
        pattern = last;
    } else {
        sftp::Attrs attrs;
        uint32_t status = 0;
        if (!Stat(Path(target), attrs, status, w))
            throw ProtocolReplyError(sftp::ReplyCodeOf(status),
                                     "SFTP: " + sftp::StatusText(status) + " (list " + target +
                                         ")");
        if (!attrs.IsDir()) {
            dest = {lineOf(last, attrs)};
            return;
        }
    }
    std::vector<std::string> lines;
    ReadFolder(folder, w, [&](const std::string& entry, const sftp::Attrs& attrs) {
        if (pattern.empty() || MatchesListingPattern(pattern, entry))
            lines.push_back(lineOf(entry, attrs));
    });
    Trace("Recv: " + std::to_string(lines.size()) + " entries");
    dest = std::move(lines);
}

void SftpSession::Impl::ReadFolder(
    const std::string& folder, net::Waiter& w,
    const std::function<void(const std::string&, const sftp::Attrs&)>& take) {
    std::string h;
    uint32_t status = 0;
    if (!Open(Path(folder), sftp::kOpendir, 0, 0, h, status, w))
        Refused(status, "list " + folder);
    size_t taken = 0;
    int64_t bytes = 0;       // of the names taken
    int64_t answerBytes = 0; // of the server's answers, every name counted
    uint64_t names = 0;
    auto refuse = [&] {
        throw FtpLimitError(
            "The listing of " + folder + " is larger than " + std::to_string(self.MaxListingBytes) +
            " bytes or " + std::to_string(kMaxListingLines) + " lines (" +
            std::to_string(kMaxListingNames) + " names counting hidden ones); it was refused.");
    };
    try {
        remote::RateFloor rate(self, "SFTP");
        for (;;) {
            const Answer a = Call(std::move(NewRequest(sftp::kReaddir).Str(h)), w);
            if (a.type == sftp::kStatus && StatusOf(a) == sftp::kEof)
                break;
            Expect(a, sftp::kName, "list " + folder);
            answerBytes += static_cast<int64_t>(a.body.size());
            rate.Moved(static_cast<int64_t>(a.body.size()));
            sftp::Reader r(a.body);
            const uint32_t count = r.U32();
            names += count;
            if (answerBytes > self.MaxListingBytes || names > kMaxListingNames)
                refuse();
            for (uint32_t k = 0; k < count && r.Ok(); ++k) {
                const std::string entry = r.Str();
                r.View(); // the server's own "ls -l" line
                const sftp::Attrs attrs = r.ReadAttrs();
                // Hidden names stay out, as in "ls -l" and the FTP servers' LIST.
                if (!r.Ok() || entry.empty() || entry[0] == '.')
                    continue;
                take(entry, attrs);
                bytes += static_cast<int64_t>(entry.size()) + 64;
                if (bytes > self.MaxListingBytes || ++taken > kMaxListingLines)
                    refuse();
            }
            if (!r.Ok())
                Expect(Answer{}, sftp::kName, "list " + folder);
        }
    } catch (...) {
        CloseQuietly(h, "list " + folder, w);
        throw;
    }
    CloseHandle(h, "list " + folder, w);
}

RemoteListing SftpSession::Impl::ListFolder(const std::string& folder, const std::string& pattern,
                                            bool onlyMatching) {
    net::Waiter w = MakeWaiter();
    Trace("Sent: list " + folder);
    RemoteListing out;
    ReadFolder(folder, w, [&](const std::string& name, const sftp::Attrs& a) {
        if (onlyMatching && !MatchesListingPattern(pattern, name))
            return;
        RemoteEntry e;
        e.name = name;
        e.kind = KindOf(a);
        // Version 3 lets a server leave the size out: then the download's
        // end of file says when it is whole.
        if (a.HasSize() && a.size <= static_cast<uint64_t>(INT64_MAX))
            e.size = static_cast<int64_t>(a.size);
        if (a.HasTime())
            e.time = sftp::ModificationTime(static_cast<std::time_t>(a.mtime));
        out.entries.push_back(std::move(e));
    });
    PatternFirst(out.entries, pattern);
    Trace("Recv: " + std::to_string(out.entries.size()) + " entries");
    return out;
}

void SftpSession::Impl::Rename(const std::string& from, const std::string& to, net::Waiter& w) {
    const std::string a = Path(from), b = Path(to);
    Trace("Sent: rename " + from + " " + to);
    // Version 3's rename: never the replacing kind.
    const uint32_t status = StatusOf(Call(std::move(NewRequest(sftp::kRename).Str(a).Str(b)), w));
    if (status != sftp::kOk)
        Refused(status, "rename " + from + " to " + to);
    Trace("Recv: OK");
}

void SftpSession::Impl::Delete(const std::string& name, net::Waiter& w) {
    const std::string path = Path(name);
    Trace("Sent: remove " + name);
    const uint32_t status = StatusOf(Call(std::move(NewRequest(sftp::kRemove).Str(path)), w));
    if (status != sftp::kOk)
        Refused(status, "remove " + name);
    Trace("Recv: OK");
}

RemoteSession::SizeAnswer SftpSession::Impl::SizeOf(const std::string& name, std::string* time,
                                                    net::Waiter& w) {
    SizeAnswer a;
    sftp::Attrs attrs;
    uint32_t status = 0;
    if (!Stat(Path(name), attrs, status, w)) {
        a.code = sftp::ReplyCodeOf(status);
        a.refusal = sftp::RefusalOf(status);
        return a;
    }
    if (attrs.HasType() && !attrs.IsRegular()) {
        a.code = 553; // there, but not a plain file
        a.refusal = RemoteRefusal::Exists;
        return a;
    }
    a.code = 213;
    a.size = attrs.HasSize() ? static_cast<int64_t>(attrs.size) : -1;
    if (time && attrs.HasTime())
        *time = sftp::ModificationTime(static_cast<std::time_t>(attrs.mtime));
    return a;
}

} // namespace kv
