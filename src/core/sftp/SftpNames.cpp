// SftpSession's work on names: server paths from the current folder,
// attributes, listings in the UNIX "ls -l" form, renames that never replace,
// deletes, and sizes with modification times.
#include "sftp/SftpSessionImpl.h"

#include "sftp/SftpText.h"

#include <ctime>
#include <fnmatch.h>

namespace kv {

namespace {

// Listings never hold more lines than this (as over FTP).
constexpr size_t kMaxListingLines = 1000000;

} // namespace

std::string SftpSession::Impl::Path(const std::string& name) const {
    if (name.find('\0') != std::string::npos)
        throw FtpArgumentError("The remote name \"" + name +
                               "\" holds a zero byte, which cannot be sent to the SFTP server.");
    return sftp::JoinRemote(cwd, name);
}

bool SftpSession::Impl::Stat(const std::string& path, LIBSSH2_SFTP_ATTRIBUTES& attrs,
                             unsigned long& status, net::Waiter& w) {
    const int rc = Retry(
        [&] {
            return libssh2_sftp_stat_ex(sftp, path.data(), static_cast<unsigned>(path.size()),
                                        LIBSSH2_SFTP_STAT, &attrs);
        },
        w);
    if (rc == 0)
        return true;
    if (rc != LIBSSH2_ERROR_SFTP_PROTOCOL)
        Fail(rc, "stat " + path);
    status = libssh2_sftp_last_error(sftp);
    return false;
}

std::string SftpSession::Impl::RealPath(const std::string& path, net::Waiter& w) {
    std::vector<char> target(4096);
    const int rc = Retry(
        [&] {
            return libssh2_sftp_symlink_ex(sftp, path.data(), static_cast<unsigned>(path.size()),
                                           target.data(), static_cast<unsigned>(target.size()),
                                           LIBSSH2_SFTP_REALPATH);
        },
        w);
    if (rc < 0)
        Fail(rc, "folder " + path);
    return std::string(target.data(), static_cast<size_t>(rc));
}

void SftpSession::Impl::List(std::vector<std::string>& dest, const std::string& specifier,
                             bool details) {
    net::Waiter w = MakeWaiter();
    const std::string spec = specifier.empty() ? "." : specifier;
    const size_t slash = spec.rfind('/');
    const std::string last = slash == std::string::npos ? spec : spec.substr(slash + 1);
    std::string folder = spec, pattern;
    const std::time_t now = std::time(nullptr);
    auto lineOf = [&](const std::string& name, const LIBSSH2_SFTP_ATTRIBUTES& a) {
        if (!details)
            return name;
        const unsigned long mode = (a.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS)
                                       ? a.permissions
                                       : (LIBSSH2_SFTP_S_IFREG | 0644);
        return sftp::ListingLine(
            name, mode, a.uid, a.gid,
            (a.flags & LIBSSH2_SFTP_ATTR_SIZE) ? static_cast<int64_t>(a.filesize) : 0,
            static_cast<std::time_t>(a.mtime), now);
    };
    Trace("Sent: list " + spec);
    if (sftp::IsPattern(last)) {
        folder = slash == std::string::npos ? "." : spec.substr(0, slash);
        pattern = last;
    } else {
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        unsigned long status = 0;
        if (!Stat(Path(spec), attrs, status, w))
            throw ProtocolReplyError(sftp::ReplyCodeOf(status),
                                     "SFTP: " + sftp::StatusText(status) + " (list " + spec + ")");
        if (!LIBSSH2_SFTP_S_ISDIR(attrs.permissions)) {
            dest = {lineOf(last, attrs)};
            return;
        }
    }
    const std::string path = Path(folder);
    LIBSSH2_SFTP_HANDLE* h = RetryPointer<LIBSSH2_SFTP_HANDLE>(
        [&] {
            return libssh2_sftp_open_ex(sftp, path.data(), static_cast<unsigned>(path.size()), 0, 0,
                                        LIBSSH2_SFTP_OPENDIR);
        },
        w);
    if (!h)
        Fail(libssh2_session_last_errno(ssh), "list " + folder);
    std::vector<std::string> lines;
    int64_t bytes = 0;
    std::vector<char> name(1024);
    try {
        for (;;) {
            LIBSSH2_SFTP_ATTRIBUTES attrs{};
            const int n = Retry(
                [&] {
                    return libssh2_sftp_readdir_ex(h, name.data(), name.size(), nullptr, 0, &attrs);
                },
                w);
            if (n == LIBSSH2_ERROR_BUFFER_TOO_SMALL && name.size() < 65536) {
                name.resize(name.size() * 4);
                continue;
            }
            if (n < 0)
                Fail(n, "list " + folder);
            if (n == 0)
                break;
            const std::string entry(name.data(), static_cast<size_t>(n));
            // Hidden names stay out, as in "ls -l" and the FTP servers' LIST.
            if (entry[0] == '.')
                continue;
            if (!pattern.empty() && ::fnmatch(pattern.c_str(), entry.c_str(), FNM_PERIOD) != 0)
                continue;
            lines.push_back(lineOf(entry, attrs));
            bytes += static_cast<int64_t>(lines.back().size()) + 2;
            if (bytes > self.MaxListingBytes || lines.size() > kMaxListingLines)
                throw FtpLimitError("The listing of " + folder + " is larger than " +
                                    std::to_string(self.MaxListingBytes) + " bytes or " +
                                    std::to_string(kMaxListingLines) + " lines; it was refused.");
        }
    } catch (...) {
        if (Usable()) {
            try {
                CloseHandle(h, "list " + folder, w);
            } catch (...) {
            }
        }
        throw;
    }
    CloseHandle(h, "list " + folder, w);
    Trace("Recv: " + std::to_string(lines.size()) + " entries");
    dest = std::move(lines);
}

void SftpSession::Impl::Rename(const std::string& from, const std::string& to, net::Waiter& w) {
    const std::string a = Path(from), b = Path(to);
    Trace("Sent: rename " + from + " " + to);
    // Flags 0: never the replacing kind of rename (version 3 sends none).
    const int rc = Retry(
        [&] {
            return libssh2_sftp_rename_ex(sftp, a.data(), static_cast<unsigned>(a.size()), b.data(),
                                          static_cast<unsigned>(b.size()), 0);
        },
        w);
    if (rc != 0)
        Fail(rc, "rename " + from + " to " + to);
    Trace("Recv: OK");
}

void SftpSession::Impl::Delete(const std::string& name, net::Waiter& w) {
    const std::string path = Path(name);
    Trace("Sent: remove " + name);
    const int rc = Retry(
        [&] {
            return libssh2_sftp_unlink_ex(sftp, path.data(), static_cast<unsigned>(path.size()));
        },
        w);
    if (rc != 0)
        Fail(rc, "remove " + name);
    Trace("Recv: OK");
}

RemoteSession::SizeAnswer SftpSession::Impl::SizeOf(const std::string& name, std::string* time,
                                                    net::Waiter& w) {
    SizeAnswer a;
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    unsigned long status = 0;
    if (!Stat(Path(name), attrs, status, w)) {
        a.code = sftp::ReplyCodeOf(status);
        return a;
    }
    if ((attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) && !LIBSSH2_SFTP_S_ISREG(attrs.permissions)) {
        a.code = 553; // there, but not a plain file
        return a;
    }
    a.code = 213;
    a.size = (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) ? static_cast<int64_t>(attrs.filesize) : -1;
    if (time && (attrs.flags & LIBSSH2_SFTP_ATTR_ACMODTIME))
        *time = sftp::ModificationTime(static_cast<std::time_t>(attrs.mtime));
    return a;
}

} // namespace kv
