// The texts the SFTP session makes from what the server answers.
#include "sftp/SftpText.h"

#include "sftp/SftpPacket.h"

#include <cstdio>

namespace kv::sftp {

namespace {

char TypeLetter(unsigned long mode) {
    switch (mode & kIfMt) {
    case kIfReg:
        return '-';
    case kIfDir:
        return 'd';
    case kIfLnk:
        return 'l';
    case kIfChr:
        return 'c';
    case kIfBlk:
        return 'b';
    case kIfIfo:
        return 'p';
    case kIfSock:
        return 's';
    default:
        return '?';
    }
}

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

} // namespace

std::string ListingLine(const std::string& name, unsigned long mode, unsigned long uid,
                        unsigned long gid, int64_t size, std::time_t mtime, std::time_t now) {
    std::string perms(10, '-');
    perms[0] = TypeLetter(mode);
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (mode & (0400u >> i))
            perms[1 + i] = rwx[i];
    struct tm t {};
    ::gmtime_r(&mtime, &t);
    char when[32];
    constexpr std::time_t kHalfYear = 183L * 24 * 3600;
    if (mtime > now + kHalfYear || mtime < now - kHalfYear)
        std::snprintf(when, sizeof when, "%s %02d  %04d", kMonths[t.tm_mon % 12], t.tm_mday,
                      t.tm_year + 1900);
    else
        std::snprintf(when, sizeof when, "%s %02d %02d:%02d", kMonths[t.tm_mon % 12], t.tm_mday,
                      t.tm_hour, t.tm_min);
    return perms + " 1 " + std::to_string(uid) + " " + std::to_string(gid) + " " +
           std::to_string(size < 0 ? 0 : size) + " " + when + " " + name;
}

std::string ModificationTime(std::time_t mtime) {
    struct tm t {};
    ::gmtime_r(&mtime, &t);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string Fingerprint(const unsigned char* sha256) {
    static const char* const b64 =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out = "SHA256:";
    unsigned bits = 0;
    int count = 0;
    for (int i = 0; i < 32; ++i) {
        bits = (bits << 8) | sha256[i];
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += b64[(bits >> count) & 0x3f];
        }
    }
    if (count > 0)
        out += b64[(bits << (6 - count)) & 0x3f];
    return out;
}

std::string NormalFingerprint(const std::string& setting) {
    const size_t first = setting.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    std::string s = setting.substr(first, setting.find_last_not_of(" \t") - first + 1);
    if (s.compare(0, 7, "SHA256:") != 0)
        return "";
    while (s.size() > 7 && s.back() == '=')
        s.pop_back();
    if (s.size() != 7 + 43)
        return "";
    for (size_t i = 7; i < s.size(); ++i) {
        const char c = s[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '+' || c == '/'))
            return "";
    }
    return s;
}

RemoteRefusal RefusalOf(unsigned long status) {
    switch (status) {
    case kOk:
    case kEof:
        return RemoteRefusal::None;
    case kNoSuchFile:
    case kNoSuchPath:
        return RemoteRefusal::NoSuchFile;
    case kPermissionDenied:
    case kWriteProtect:
        return RemoteRefusal::Permission;
    case kFileAlreadyExists:
        return RemoteRefusal::Exists;
    case kOpUnsupported:
        return RemoteRefusal::Unsupported;
    default:
        return RemoteRefusal::Failure;
    }
}

int ReplyCodeOf(unsigned long status) {
    switch (status) {
    case kNoSuchFile:
    case kNoSuchPath:
        return 550;
    case kPermissionDenied:
    case kFileAlreadyExists:
    case kWriteProtect:
    case kInvalidFilename:
    case kNotADirectory:
    case kDirNotEmpty:
    case kOpUnsupported:
        return 553;
    case kNoSpaceOnFilesystem:
    case kQuotaExceeded:
        return 452;
    default:
        return 451;
    }
}

std::string StatusText(unsigned long status) {
    switch (status) {
    case kOk:
        return "OK";
    case kEof:
        return "End of file";
    case kNoSuchFile:
        return "No such file";
    case kPermissionDenied:
        return "Permission denied";
    case kFailure:
        return "Failure";
    case kBadMessage:
        return "Bad message";
    case kOpUnsupported:
        return "Operation unsupported";
    case kNoSuchPath:
        return "No such path";
    case kFileAlreadyExists:
        return "File already exists";
    case kWriteProtect:
        return "Write protected";
    case kNoSpaceOnFilesystem:
        return "No space on file system";
    case kQuotaExceeded:
        return "Quota exceeded";
    case kDirNotEmpty:
        return "Folder not empty";
    case kNotADirectory:
        return "Not a folder";
    case kInvalidFilename:
        return "Invalid file name";
    default:
        return "Status " + std::to_string(status);
    }
}

bool IsPattern(const std::string& part) {
    return part.find_first_of("*?[") != std::string::npos;
}

std::string JoinRemote(const std::string& a, const std::string& b) {
    if (!b.empty() && b[0] == '/')
        return b;
    if (a.empty() || a == ".")
        return b;
    if (b.empty() || b == ".")
        return a;
    return a.back() == '/' ? a + b : a + "/" + b;
}

} // namespace kv::sftp
