#pragma once
// The download side of an upgrade, for the wizard that runs the transfers:
// which files go where, whether a finished file may be used, and the clean-up
// when the upgrade is aborted. The wizard does the HTTP transfers itself and
// calls these between them; nothing here touches the network.
#include "upgrade/InfoFile.h"
#include "upgrade/Layout.h"
#include "util/StateFiles.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

// A single download larger than this is refused.
inline constexpr int64_t kMaxDownloadBytes = int64_t{512} * 1024 * 1024;

struct PlannedDownload {
    std::string url;  // what to fetch (WebUrl of the published URL)
    std::string name; // the file it replaces
    UpgradeDestination destination = UpgradeDestination::Bin;
    std::string workPath; // its folder + "/" + name + ".uTMP"
    std::string sha256;   // expected digest (lower-case hex), empty when not published
};

// The part of a URL after its last "/", "\" or ":".
std::string FileNameOfUrl(const std::string& url);

// Deletes every "*.uTMP" working file in folder, and the arrived list there.
void RemoveUpgradeWorkingFiles(const std::string& folder);
// The same in both folders of an installation. A replacement in progress
// (its journal in the program folder) is left alone: the files are needed
// to finish or undo it.
void RemoveUpgradeWorkingFiles(const UpgradeFolders& folders);

// Where an upgrade of the running program works.
struct UpgradeTarget {
    std::string executable; // the running program: program files go beside it
    std::string home;       // the program folder
    std::string packageDatabase = kPackageDatabase;
    UpgradeFolders Folders() const;
};

class UpgradePlan {
public:
    // Checks, before anything is downloaded, and throws UpgradeError with the
    // text to show when: the installation belongs to the package manager
    // (PackageManaged), a URL is not http or https, a name is one of the
    // program's own files or no file name, or a folder a file goes to cannot
    // be written by the user (FolderNotWritable). infoSha256 and
    // versionBefore go into the arrived list for the record of the upgrade.
    UpgradePlan(const InfoFile& info, const UpgradeTarget& target, std::string infoSha256 = {},
                std::string versionBefore = {});

    const std::vector<PlannedDownload>& Downloads() const { return downloads_; }
    const UpgradeFolders& Folders() const { return folders_; }

    // True while a download of this many bytes may go on.
    static bool DownloadSizeAllowed(int64_t bytes) { return bytes <= kMaxDownloadBytes; }

    // A new, empty working file for download i, open for writing. Whatever had
    // its name before (a leftover, a link) is removed, never written through:
    // the file is created exclusively and no link is followed. Throws
    // UpgradeError ("Cannot write <path>: <reason>").
    int CreateWorkingFile(size_t i) const;
    // Judges download i after its transfer completed: a regular file within
    // the size limit and, when a checksum was published, with that SHA-256.
    // Records it as arrived. Throws UpgradeError with the ChecksumMismatch or
    // TooLarge text otherwise; the caller then aborts (AbortAndClean).
    void AcceptFinished(size_t i);
    // Download i was skipped (Yes to the lost-file question): its partial
    // working file is deleted and it is not handed over.
    void Skip(size_t i);
    // The upgrade is aborted: every "*.uTMP" file in both folders and the
    // arrived list are deleted.
    void AbortAndClean();

    // Writes the arrived list (name, size, SHA-256 and folder of each file
    // that arrived whole) for the updater. Throws UpgradeError when none
    // arrived or it cannot be written.
    void WriteArrivedList() const;

private:
    struct Arrived {
        std::string name;
        int64_t size;
        std::string sha256;
        UpgradeDestination destination;
    };
    UpgradeFolders folders_;
    std::string infoSha256_, versionBefore_;
    std::vector<PlannedDownload> downloads_;
    std::vector<Arrived> arrived_;
};

} // namespace kv
