// The download plan of an upgrade: where each file goes, working files,
// judging finished files, the abort clean-up and the list handed to the updater.
#include "upgrade/UpgradePlan.h"

#include "upgrade/Failures.h"
#include "upgrade/Sha256.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

std::string FileNameOfUrl(const std::string& url) {
    size_t at = url.find_last_of("/\\:");
    return at == std::string::npos ? url : url.substr(at + 1);
}

void RemoveUpgradeWorkingFiles(const std::string& folder) {
    for (const auto& name : ListFolder(folder, std::string("*") + kWorkingSuffix))
        ::unlink(JoinPath(folder, name).c_str());
    ::unlink(JoinPath(folder, kArrivedListName).c_str());
}

void RemoveUpgradeWorkingFiles(const UpgradeFolders& folders) {
    if (FileExists(JoinPath(folders.home, kReplaceJournalName)))
        return;
    RemoveUpgradeWorkingFiles(folders.bin);
    if (!SameFolder(folders.bin, folders.home))
        RemoveUpgradeWorkingFiles(folders.home);
}

UpgradeFolders UpgradeTarget::Folders() const {
    return {FolderOf(executable), home};
}

UpgradePlan::UpgradePlan(const InfoFile& info, const UpgradeTarget& target, std::string infoSha256,
                         std::string versionBefore)
    : folders_(target.Folders()), infoSha256_(std::move(infoSha256)),
      versionBefore_(std::move(versionBefore)) {
    if (OwnedByPackageManager(target.executable, target.packageDatabase))
        throw UpgradeError(FailureText(UpgradeFailure::PackageManaged, target.executable));
    for (const auto& f : info.files) {
        PlannedDownload d;
        d.name = FileNameOfUrl(f.url);
        if (d.name.empty() || d.name == "." || d.name == "..")
            throw UpgradeError("The upgrade information names no file in the URL " + f.url +
                               ". Please try to upgrade this software again later.");
        d.destination = DestinationOf(d.name);
        d.url = WebUrl(f.url);
        d.workPath = JoinPath(FolderFor(folders_, d.destination), d.name + kWorkingSuffix);
        d.sha256 = f.sha256;
        downloads_.push_back(std::move(d));
    }
    for (UpgradeDestination where : {UpgradeDestination::Bin, UpgradeDestination::Home}) {
        const std::string& folder = FolderFor(folders_, where);
        bool used = false;
        for (const PlannedDownload& d : downloads_)
            used |= d.destination == where;
        if (used && !FolderWritableByUser(folder))
            throw UpgradeError(FailureText(UpgradeFailure::FolderNotWritable, folder));
    }
}

int UpgradePlan::CreateWorkingFile(size_t i) const {
    const PlannedDownload& d = downloads_.at(i);
    // A link is removed as a link; a leftover from an earlier try goes too.
    if (::unlink(d.workPath.c_str()) != 0 && errno != ENOENT && errno != EISDIR)
        throw UpgradeError("Cannot write " + d.workPath + ": " + ErrnoText(errno));
    int fd = ::open(d.workPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw UpgradeError("Cannot write " + d.workPath + ": " + ErrnoText(errno));
    TakeFolderOwner(fd, FolderFor(folders_, d.destination));
    return fd;
}

void UpgradePlan::AcceptFinished(size_t i) {
    const PlannedDownload& d = downloads_.at(i);
    struct stat st {};
    if (::lstat(d.workPath.c_str(), &st) != 0)
        throw UpgradeError("Cannot read " + d.workPath + ": " + ErrnoText(errno));
    if (!S_ISREG(st.st_mode))
        throw UpgradeError("Cannot read " + d.workPath + ": it is not a plain file");
    if (!DownloadSizeAllowed(st.st_size))
        throw UpgradeError(FailureText(UpgradeFailure::TooLarge, d.name));
    std::string sha = Sha256OfFile(d.workPath);
    if (!d.sha256.empty() && sha != d.sha256)
        throw UpgradeError(FailureText(UpgradeFailure::ChecksumMismatch, d.name));
    std::erase_if(arrived_, [&](const Arrived& a) { return a.name == d.name; });
    arrived_.push_back({d.name, static_cast<int64_t>(st.st_size), sha, d.destination});
}

void UpgradePlan::Skip(size_t i) {
    const PlannedDownload& d = downloads_.at(i);
    ::unlink(d.workPath.c_str());
    std::erase_if(arrived_, [&](const Arrived& a) { return a.name == d.name; });
}

void UpgradePlan::AbortAndClean() {
    RemoveUpgradeWorkingFiles(folders_);
    arrived_.clear();
}

void UpgradePlan::WriteArrivedList() const {
    if (arrived_.empty())
        throw UpgradeError("No file of the upgrade arrived, so nothing was changed.");
    std::string text =
        "info " + (infoSha256_.empty() ? "-" : infoSha256_) + " " + versionBefore_ + "\n";
    for (const auto& a : arrived_)
        text += a.sha256 + " " + IntToStr(a.size) + " " + DestinationTag(a.destination) + " " +
                a.name + "\n";
    try {
        AtomicWriteFile(JoinPath(folders_.home, kArrivedListName), text, 0644, folders_.home);
    } catch (const FileError& e) {
        throw UpgradeError(e.what());
    }
}

} // namespace kv
