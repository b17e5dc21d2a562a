// Putting downloaded upgrade files in place: verify all, then replace all or none.
#include "upgrade/InstallFiles.h"

#include "upgrade/InfoFile.h"
#include "upgrade/Sha256.h"
#include "upgrade/UpgradePlan.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

struct ListedFile {
    std::string name;
    int64_t size = 0;
    std::string sha256;
    std::string target, work, backup;
    bool hadTarget = false;
    bool replaced = false;
};

std::vector<ListedFile> ReadArrivedList(const std::string& folder) {
    std::string listPath = JoinPath(folder, kArrivedListName);
    std::string text;
    try {
        text = ReadWholeFile(listPath);
    } catch (const FileError& e) {
        throw UpgradeError(e.what());
    }
    std::vector<ListedFile> files;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        size_t a = line.find(' ');
        size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        ListedFile f;
        f.size = -1;
        if (b != std::string::npos) {
            f.size = TryStrToInt64(line.substr(a + 1, b - a - 1)).value_or(-1);
            f.name = line.substr(b + 1);
        }
        const bool listedBefore = std::any_of(
            files.begin(), files.end(), [&](const ListedFile& g) { return g.name == f.name; });
        if (f.size < 0 || a != 64 || f.name.empty() || f.name == "." || f.name == ".." ||
            f.name.find('/') != std::string::npos || listedBefore)
            throw UpgradeError("The upgrade list " + listPath +
                               " is damaged, so nothing was changed.");
        f.sha256 = line.substr(0, a);
        f.target = JoinPath(folder, f.name);
        f.work = f.target + kWorkingSuffix;
        f.backup = f.target + ".uOLD";
        files.push_back(std::move(f));
    }
    if (files.empty())
        throw UpgradeError("The upgrade list " + listPath + " is empty, so nothing was changed.");
    return files;
}

void VerifyWhole(const ListedFile& f) {
    struct stat st {};
    if (::lstat(f.work.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw UpgradeError("The upgrade file " + f.work + " is missing, so nothing was changed.");
    if (st.st_size != f.size || Sha256OfFile(f.work) != f.sha256)
        throw UpgradeError("The upgrade file " + f.work +
                           " is not the file that was downloaded, so nothing was changed.");
}

// Gives the working file the old file's permission bits (or rw-r--r-- for a new
// file) and flushes it to disk, so the rename publishes a complete file.
void Prepare(ListedFile& f) {
    struct stat st {};
    f.hadTarget = ::stat(f.target.c_str(), &st) == 0;
    mode_t mode = f.hadTarget ? (st.st_mode & 07777) : 0644;
    int fd = ::open(f.work.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    int err = errno;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        throw UpgradeError("Cannot prepare " + f.work + ": " + ErrnoText(err));
    if (f.hadTarget) {
        ::unlink(f.backup.c_str());
        if (::link(f.target.c_str(), f.backup.c_str()) != 0)
            throw UpgradeError("Cannot keep a copy of " + f.target + ": " + ErrnoText(errno));
    }
}

void RollBack(std::vector<ListedFile>& files) {
    for (auto& f : files) {
        if (f.replaced)
            f.hadTarget ? (void)::rename(f.backup.c_str(), f.target.c_str())
                        : (void)::unlink(f.target.c_str());
        else if (f.hadTarget)
            ::unlink(f.backup.c_str());
    }
}

} // namespace

std::vector<std::string> InstallWorkingFiles(const std::string& folder) {
    std::vector<ListedFile> files;
    try {
        files = ReadArrivedList(folder);
        for (const auto& f : files)
            VerifyWhole(f);
    } catch (const UpgradeError&) {
        // Files that are not what was checked after the download must not stay
        // around to be taken by a later run.
        RemoveUpgradeWorkingFiles(folder);
        throw;
    }
    try {
        for (auto& f : files)
            Prepare(f);
        for (auto& f : files) {
            if (::rename(f.work.c_str(), f.target.c_str()) != 0)
                throw UpgradeError("Cannot replace " + f.target + ": " + ErrnoText(errno) +
                                   ". The old files were kept.");
            f.replaced = true;
        }
    } catch (const UpgradeError&) {
        RollBack(files);
        SyncFolder(folder);
        throw;
    }
    SyncFolder(folder);
    std::vector<std::string> names;
    for (const auto& f : files) {
        if (f.hadTarget)
            ::unlink(f.backup.c_str());
        names.push_back(f.name);
    }
    RemoveUpgradeWorkingFiles(folder); // skipped files' leftovers and the list
    return names;
}

} // namespace kv
