#pragma once
// Which folder settings the cleaning refuses to empty, and by which rule. A
// folder is refused when it
//   - is not an absolute path, or is "/";
//   - is, or holds, a home folder (this user's, and every account's);
//   - is, or holds, the program folder;
//   - is, or lies inside, a folder of the program's own there (LOG, TMP,
//     Language), which hold its logs, its downloads in progress and its packs;
//   - holds another configured work folder (inbox, outbox, error, backup, EX,
//     the extra inbox and outbox folders): emptying the backup folder must
//     never delete an undelivered or unsent file;
//   - holds a mount point (another file system, or a bind mount that could
//     show any other folder inside it).
// Folders are compared as they resolve (links followed), so a second name for
// a folder is no way around a rule. A folder that does not exist is not
// refused: there is nothing to empty.
#include "config/SettingsKeys.h"

#include <string>
#include <vector>

namespace kv {

// A configured work folder: its settings key (Options/LocalInPath) and value.
struct WorkFolder {
    SettingKey key;
    std::string path;
};

// The settings keys of the work folders, each with what it is ("the inbox folder").
struct WorkFolderKey {
    SettingKey key;
    std::string what;
};
std::vector<WorkFolderKey> WorkFolderKeys();

class FolderGuard {
public:
    // workFolders: every configured work folder; relative ones count from
    // programDir. The homes and mount points are read now.
    FolderGuard(const std::string& programDir, const std::vector<WorkFolder>& workFolders);

    // Why folder must not be emptied, or "" when it may be.
    std::string Refusal(const std::string& folder) const;

private:
    struct Named {
        std::string path; // resolved
        std::string what;
    };
    std::string program_;
    std::vector<Named> homes_, ownFolders_, workFolders_;
    std::vector<std::string> mountPoints_;
};

} // namespace kv
