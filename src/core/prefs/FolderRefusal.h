#pragma once
// Which folder settings the cleaning refuses to empty, and by which rule.
// Folders are compared by device and inode, never by their path texts, so a
// second name for a folder (a symbolic link, a bind mount) is no way around
// a rule. A folder is refused when it
//   - is not an absolute path, or is "/";
//   - cannot be resolved (a loop of symbolic links, no permission);
//   - is a mount point: another file system, or a bind mount that may be a
//     second name of any folder, the program's own included;
//   - is, or holds, a home folder (this user's, and every account's);
//   - is, or holds, the program folder or the running executable's folder
//     (they differ in the installed layout, KORVANE_HOME apart);
//   - is, holds, or lies inside a folder of the program's own in the program
//     folder (LOG, TMP, Language): its logs, downloads in progress and packs;
//   - is also a folder that holds mail not yet delivered or sent (an inbox,
//     an outbox, the extra groups' folders, the EX folder) while cleaning
//     another kind of folder: emptying the backup folder set to the outbox
//     would delete unsent files. Two settings of one kind (the inbox and
//     inbox 3) and the backup and error folders may share a folder;
//   - holds another configured work folder, or a mount point, or more
//     folders than the check looks at (kMaxFoldersChecked).
// A folder that does not exist is not refused: there is nothing to empty.
#include "config/SettingsKeys.h"
#include "prefs/EmptyDirectory.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kv {

// A configured work folder: its settings key (Options/LocalInPath) and value.
struct WorkFolder {
    SettingKey key;
    std::string path;
};

// The settings keys of the work folders, each with what it is ("the inbox
// folder") and whether it holds mail not yet delivered or sent.
struct WorkFolderKey {
    SettingKey key;
    std::string what;
    bool holdsMail;
};
std::vector<WorkFolderKey> WorkFolderKeys();

// A folder as the file system knows it, whatever its name.
struct FolderId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FolderId&) const = default;
};

class FolderGuard {
public:
    // More folders than this under a folder are not looked through: the
    // folder is refused rather than emptied unchecked.
    static constexpr uint64_t kMaxFoldersChecked = 200000;

    // workFolders: every configured work folder; relative ones count from
    // programDir. executableFolder: the running executable's folder. The
    // homes are read now.
    FolderGuard(const std::string& programDir, const std::vector<WorkFolder>& workFolders,
                const std::string& executableFolder);

    // Why folder, the value of key, must not be emptied, or "" when it may
    // be. Looks through the folders under it (ctx ticks for each).
    std::string Refusal(const std::string& folder, const SettingKey& key, CleanContext& ctx) const;

private:
    struct Protected {
        FolderId id;
        std::string what;
        std::string keyName; // the work folder's key name ("LocalInPath"), else ""
        bool holdsMail = false;
        bool noneInside = false; // nothing inside it may be emptied either
    };
    void Protect(const std::string& path, const std::string& what, const std::string& keyName = {},
                 bool holdsMail = false, bool noneInside = false);
    std::string HeldInside(const std::string& resolved, const FolderId& self,
                           CleanContext& ctx) const;

    std::vector<Protected> protected_;
};

} // namespace kv
