#pragma once
// The download side of an upgrade, for the wizard that runs the transfers:
// which files go where, whether a finished file may be used, and the clean-up
// when the upgrade is aborted. The wizard does the HTTP transfers itself and
// calls these between them; nothing here touches the network.
#include "upgrade/InfoFile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

// A single download larger than this is refused.
inline constexpr int64_t kMaxDownloadBytes = int64_t{512} * 1024 * 1024;

// Suffix of the working files in the program folder, and the list of the
// files that arrived whole, which the updater checks before replacing anything.
inline constexpr const char* kWorkingSuffix = ".uTMP";
inline constexpr const char* kArrivedListName = "Upgrade.uLST";

struct PlannedDownload {
    std::string url;
    std::string name;     // the file it replaces in the program folder
    std::string workPath; // program folder + "/" + name + ".uTMP"
    std::string sha256;   // expected digest (lower-case hex), empty when not published
};

// The part of a URL after its last "/", "\" or ":".
std::string FileNameOfUrl(const std::string& url);

// Deletes every "*.uTMP" working file and the arrived list in folder.
void RemoveUpgradeWorkingFiles(const std::string& folder);

// True when the user may create and replace files in folder (checked with the
// effective user, so an installation owned by root is refused for others).
bool FolderWritableByUser(const std::string& folder);

class UpgradePlan {
public:
    // Throws UpgradeError when the program folder cannot be written by the user
    // (FolderNotWritable text) or a URL names no usable file.
    UpgradePlan(const InfoFile& info, std::string programFolder);

    const std::vector<PlannedDownload>& Downloads() const { return downloads_; }
    const std::string& ProgramFolder() const { return folder_; }

    // True while a download of this many bytes may go on.
    static bool DownloadSizeAllowed(int64_t bytes) { return bytes <= kMaxDownloadBytes; }

    // Judges download i after its transfer completed: within the size limit and,
    // when a checksum was published, with that SHA-256. Records it as arrived.
    // Throws UpgradeError with the ChecksumMismatch or TooLarge text otherwise;
    // the caller then aborts (AbortAndClean).
    void AcceptFinished(size_t i);
    // Download i was skipped (Yes to the lost-file question): its partial
    // working file is deleted and it is not handed over.
    void Skip(size_t i);
    // The upgrade is aborted: every "*.uTMP" file in the program folder and the
    // arrived list are deleted.
    void AbortAndClean();

    // Writes the arrived list (name, size and SHA-256 of each file that arrived
    // whole) for the updater. Throws UpgradeError when none arrived or it
    // cannot be written.
    void WriteArrivedList() const;
    size_t ArrivedCount() const { return arrived_.size(); }

private:
    struct Arrived {
        std::string name;
        int64_t size;
        std::string sha256;
    };
    std::string folder_;
    std::vector<PlannedDownload> downloads_;
    std::vector<Arrived> arrived_;
};

} // namespace kv
