#include "util/Fs.h"

#include "util/Errors.h"
#include "util/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

std::string ErrnoText(int err) {
    return std::strerror(err);
}

std::string RunningExecutablePath() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

std::string AbsoluteFolder(const std::string& path) {
    std::error_code ec;
    std::string folder = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec)
        folder = path;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

std::string ProgramFolder() {
    // Absolute, so nothing written into the settings depends on the
    // directory the program was started from.
    if (const char* home = std::getenv("KORVANE_HOME"); home && *home)
        return AbsoluteFolder(home);
    std::string exe = RunningExecutablePath();
    return exe.empty() ? "." : FolderOf(exe);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty())
        return name;
    if (folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

std::string FolderInProgram(const std::string& programDir, const std::string& setting) {
    if (setting.empty() || setting[0] == '/')
        return setting;
    return JoinPath(programDir, setting);
}

std::string FileNameOf(const std::string& path) {
    auto p = path.find_last_of('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string FolderOf(const std::string& path) {
    auto p = path.find_last_of('/');
    if (p == std::string::npos)
        return ".";
    if (p == 0)
        return "/";
    return path.substr(0, p);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
    if (path.empty())
        return false;
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return DirectoryExists(path);
}

std::string ReadWholeFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw FileError("Cannot open file " + path + ": " + ErrnoText(errno));
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            ::close(fd);
            throw FileError("Cannot read file " + path + ": " + ErrnoText(e));
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

namespace {

std::string TempNameBeside(const std::string& target) {
    static std::mt19937_64 rng{std::random_device{}()};
    char suffix[32];
    int suffixLength = std::snprintf(suffix, sizeof suffix, ".%016llx.part",
                                     static_cast<unsigned long long>(rng()));
    // The hidden name must fit the file system's 255-byte limit whatever the
    // target's length: only the start of a long name is kept.
    std::string base = FileNameOf(target);
    base.resize(std::min(base.size(), kMaxNameBytes - 1 - static_cast<size_t>(suffixLength)));
    // Built piece by piece: GCC 12 warns wrongly (-Wrestrict) on chained '+' at -O3.
    std::string name = ".";
    name.append(base);
    name.append(suffix);
    return JoinPath(FolderOf(target), name);
}

bool IsHex(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

void WriteAll(int fd, const char* data, size_t size, const std::string& name) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileError("Cannot write file " + name + ": " + ErrnoText(errno));
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Opens a fresh temporary file beside target; returns its fd and name.
int OpenTempBeside(const std::string& target, std::string& tmpName, mode_t mode) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        tmpName = TempNameBeside(target);
        int fd = ::open(tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            throw FileError("Cannot write file " + target + ": " + ErrnoText(errno));
    }
    throw FileError("Cannot write file " + target + ": no free temporary name");
}

void FinishTemp(int fd, const std::string& tmpName, const std::string& target, bool overwrite,
                bool flush = true) {
    if (flush && ::fsync(fd) != 0) {
        int e = errno;
        ::close(fd);
        ::unlink(tmpName.c_str());
        throw FileError("Cannot write file " + target + ": " + ErrnoText(e));
    }
    if (::close(fd) != 0) {
        int e = errno;
        ::unlink(tmpName.c_str());
        throw FileError("Cannot write file " + target + ": " + ErrnoText(e));
    }
    int rc;
    if (overwrite) {
        rc = ::rename(tmpName.c_str(), target.c_str());
    } else {
        // link() refuses to replace an existing name, so a file that appeared
        // meanwhile is never overwritten.
        rc = ::link(tmpName.c_str(), target.c_str());
        if (rc == 0)
            ::unlink(tmpName.c_str());
    }
    if (rc != 0) {
        int e = errno;
        ::unlink(tmpName.c_str());
        throw FileError("Cannot write file " + target + ": " + ErrnoText(e));
    }
}

} // namespace

std::string LinkTarget(const std::string& path) {
    std::string current = path;
    // A bounded walk along a chain of links (the kernel allows 40).
    for (int i = 0; i < 40; ++i) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::error_code ec;
        std::filesystem::path target = std::filesystem::read_symlink(current, ec);
        if (ec)
            return current;
        current = target.is_absolute()
                      ? target.string()
                      : (std::filesystem::path(FolderOf(current)) / target).string();
    }
    return current;
}

void TakeFolderOwner(int fd, const std::string& folder) {
    struct stat st;
    if (::geteuid() != 0 || folder.empty() || ::stat(folder.c_str(), &st) != 0)
        return;
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        // A file system without owners (FAT, some network mounts): it stays as it is.
    }
}

void TakeFolderOwner(const std::string& path, const std::string& folder) {
    struct stat st;
    if (::geteuid() != 0 || folder.empty() || ::stat(folder.c_str(), &st) != 0)
        return;
    if (::fchownat(AT_FDCWD, path.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
        // As above.
    }
}

int OpenCreatingForFolderOwner(const std::string& path, int flags, unsigned mode,
                               const std::string& ownerFolder) {
    flags &= ~(O_CREAT | O_EXCL);
    // Created or found: two tries cover a file removed between the two opens.
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
        if (fd >= 0) {
            TakeFolderOwner(fd, ownerFolder);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        fd = ::open(path.c_str(), flags);
        if (fd >= 0 || errno != ENOENT)
            return fd;
    }
    return -1;
}

void AtomicWriteFile(const std::string& path, const std::string& content, unsigned newFileMode,
                     const std::string& ownerFolder) {
    mode_t mode = static_cast<mode_t>(newFileMode);
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        mode = st.st_mode & 07777;
    std::string tmp;
    int fd = OpenTempBeside(path, tmp, mode);
    try {
        WriteAll(fd, content.data(), content.size(), path);
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    ::fchmod(fd, mode);
    TakeFolderOwner(fd, ownerFolder);
    FinishTemp(fd, tmp, path, true);
}

AtomicFileWriter::AtomicFileWriter(const std::string& target) : target_(target) {
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        mode_ = st.st_mode & 07777;
    fd_ = OpenTempBeside(target, tmp_, static_cast<mode_t>(mode_));
    pending_.reserve(1 << 16);
}

AtomicFileWriter::~AtomicFileWriter() {
    Discard();
}

void AtomicFileWriter::Discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        ::unlink(tmp_.c_str());
    }
}

void AtomicFileWriter::Flush() {
    try {
        WriteAll(fd_, pending_.data(), pending_.size(), target_);
    } catch (...) {
        Discard();
        throw;
    }
    pending_.clear();
}

void AtomicFileWriter::Write(const char* data, size_t size) {
    if (fd_ < 0)
        throw FileError("Cannot write file " + target_ + ": the replacement was abandoned");
    // Small pieces (a line break, a short line) are gathered; big ones go straight out.
    if (pending_.size() + size > pending_.capacity()) {
        Flush();
        if (size >= pending_.capacity()) {
            try {
                WriteAll(fd_, data, size, target_);
            } catch (...) {
                Discard();
                throw;
            }
            return;
        }
    }
    pending_.append(data, size);
}

void AtomicFileWriter::Commit() {
    if (fd_ < 0)
        throw FileError("Cannot write file " + target_ + ": the replacement was abandoned");
    Flush();
    ::fchmod(fd_, static_cast<mode_t>(mode_));
    int fd = fd_;
    fd_ = -1; // FinishTemp closes it and removes the temporary file on failure
    FinishTemp(fd, tmp_, target_, true);
}

void CopyFileSafe(const std::string& src, const std::string& dst, bool overwrite, bool flush,
                  const std::string& ownerFolder) {
    int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throw FileError("Cannot open file " + src + ": " + ErrnoText(errno));
    struct stat st;
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        throw FileError("Cannot copy " + src + ": not a regular file");
    }
    if (!overwrite && FileExists(dst)) {
        ::close(in);
        throw FileError("Cannot copy to " + dst + ": the file exists");
    }
    std::string tmp;
    int out;
    try {
        // The copy keeps the original's permission bits (a private file stays
        // private) and, where allowed, its owner.
        out = OpenTempBeside(dst, tmp, 0600);
        ::fchmod(out, st.st_mode & 07777);
        if (::fchown(out, st.st_uid, st.st_gid) != 0) {
            // Only root may give a file away; the copy then belongs to us.
        }
        TakeFolderOwner(out, ownerFolder);
    } catch (...) {
        ::close(in);
        throw;
    }
    try {
        std::vector<char> buf(1 << 16);
        for (;;) {
            ssize_t n = ::read(in, buf.data(), buf.size());
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                throw FileError("Cannot read file " + src + ": " + ErrnoText(errno));
            }
            if (n == 0)
                break;
            WriteAll(out, buf.data(), static_cast<size_t>(n), dst);
        }
    } catch (...) {
        ::close(in);
        ::close(out);
        ::unlink(tmp.c_str());
        throw;
    }
    ::close(in);
    FinishTemp(out, tmp, dst, overwrite, flush);
}

std::string CopyFileToFreeName(const std::string& src, const std::string& folder,
                               const std::string& name) {
    std::string target = JoinPath(folder, name);
    for (;;) {
        struct stat st;
        if (::lstat(target.c_str(), &st) != 0) {
            try {
                CopyFileSafe(src, target, false);
                return target;
            } catch (const FileError&) {
                // Taken meanwhile: try the next name; another failure repeats.
                if (::lstat(target.c_str(), &st) != 0)
                    throw;
            }
        }
        if (FileNameOf(target).size() >= kMaxNameBytes)
            throw FileError("Cannot copy " + name + " into " + folder +
                            ": every free name is taken; clear old copies there");
        target += "!";
    }
}

bool IsOwnTemporaryName(const std::string& name) {
    // "." + (start of) name + "." + 16 hex digits + ".part"
    const size_t tail = 1 + 16 + 5;
    return name.size() > 1 + tail && name[0] == '.' &&
           name.compare(name.size() - 5, 5, ".part") == 0 && name[name.size() - tail] == '.' &&
           IsHex(std::string_view(name).substr(name.size() - 21, 16));
}

int RemoveOwnTemporaryFiles(const std::string& folder,
                            const std::function<bool(const struct stat&)>& keep) {
    int removed = 0;
    for (const std::string& name : ListFolder(folder, "*", true)) {
        if (!IsOwnTemporaryName(name))
            continue;
        const std::string path = JoinPath(folder, name);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (keep && keep(st)))
            continue;
        if (::unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}

bool SameFolder(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::vector<std::string> ListFolder(const std::string& folder, const std::string& pattern,
                                    bool filesOnly) {
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.c_str());
    if (!d)
        return names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (!WildcardMatchNoCase(pattern, name))
            continue;
        if (filesOnly) {
            struct stat st;
            if (::lstat(JoinPath(folder, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
        }
        names.push_back(std::move(name));
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool IsPlainWritableFile(const std::string& path) {
    std::string name = FileNameOf(path);
    if (name.empty() || name[0] == '.')
        return false;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (::access(path.c_str(), W_OK) != 0)
        return false;
    // root may write anything; a file without its owner's write bit is still
    // what the user marked read-only.
    return ::geteuid() != 0 || (st.st_mode & S_IWUSR) != 0;
}

void SyncFolder(const std::string& folder) {
    SyncFolderChecked(folder);
}

bool SyncFolderChecked(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    int e = errno;
    ::close(fd);
    errno = e;
    return ok;
}

std::string FlushFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "Cannot open file " + path + ": " + ErrnoText(errno);
    std::string why;
    if (::fsync(fd) != 0)
        why = "Cannot write file " + path + ": " + ErrnoText(errno);
    ::close(fd);
    return why;
}

} // namespace kv
