// The download plan of an upgrade: working names, judging finished files, the
// abort clean-up and the list handed to the updater.
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

// Names the upgrade keeps for itself (working files, old copies, the list of
// what arrived) and the instance lock: a download under one of them would
// break the upgrade or the program's start.
static bool IsUpgradeBookkeepingName(const std::string& name) {
    auto endsWith = [&](const std::string& tail) {
        return name.size() >= tail.size() &&
               EqualsNoCase(name.substr(name.size() - tail.size()), tail);
    };
    return endsWith(kWorkingSuffix) || endsWith(".uOLD") || EqualsNoCase(name, kArrivedListName) ||
           name == ".korvane.lock";
}

bool FolderWritableByUser(const std::string& folder) {
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

UpgradePlan::UpgradePlan(const InfoFile& info, std::string programFolder)
    : folder_(std::move(programFolder)) {
    if (!FolderWritableByUser(folder_))
        throw UpgradeError(FailureText(UpgradeFailure::FolderNotWritable, folder_));
    for (const auto& f : info.files) {
        PlannedDownload d;
        d.url = f.url;
        d.name = FileNameOfUrl(f.url);
        if (d.name.empty() || d.name == "." || d.name == "..")
            throw UpgradeError("The upgrade information names no file in the URL " + f.url +
                               ". Please try to upgrade this software again later.");
        if (IsUpgradeBookkeepingName(d.name))
            throw UpgradeError("The upgrade information names " + d.name +
                               ", a file the upgrade itself uses, in the URL " + f.url +
                               ". Please try to upgrade this software again later.");
        d.workPath = JoinPath(folder_, d.name + kWorkingSuffix);
        d.sha256 = f.sha256;
        downloads_.push_back(std::move(d));
    }
}

void UpgradePlan::AcceptFinished(size_t i) {
    const PlannedDownload& d = downloads_.at(i);
    struct stat st {};
    if (::stat(d.workPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw UpgradeError("Cannot read " + d.workPath + ": " + ErrnoText(errno));
    if (!DownloadSizeAllowed(st.st_size))
        throw UpgradeError(FailureText(UpgradeFailure::TooLarge, d.name));
    std::string sha = Sha256OfFile(d.workPath);
    if (!d.sha256.empty() && sha != d.sha256)
        throw UpgradeError(FailureText(UpgradeFailure::ChecksumMismatch, d.name));
    std::erase_if(arrived_, [&](const Arrived& a) { return a.name == d.name; });
    arrived_.push_back({d.name, static_cast<int64_t>(st.st_size), sha});
}

void UpgradePlan::Skip(size_t i) {
    const PlannedDownload& d = downloads_.at(i);
    ::unlink(d.workPath.c_str());
    std::erase_if(arrived_, [&](const Arrived& a) { return a.name == d.name; });
}

void UpgradePlan::AbortAndClean() {
    RemoveUpgradeWorkingFiles(folder_);
    arrived_.clear();
}

void UpgradePlan::WriteArrivedList() const {
    if (arrived_.empty())
        throw UpgradeError("No file of the upgrade arrived, so nothing was changed.");
    std::string text;
    for (const auto& a : arrived_)
        text += a.sha256 + " " + IntToStr(a.size) + " " + a.name + "\n";
    try {
        AtomicWriteFile(JoinPath(folder_, kArrivedListName), text);
    } catch (const FileError& e) {
        throw UpgradeError(e.what());
    }
}

} // namespace kv
