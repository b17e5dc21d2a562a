#pragma once
// The updater's work in an installation's two folders (Layout.h): every file
// of the arrived list is checked (present, same size, same SHA-256) before any
// is replaced, and the replacement runs under a journal, so a crash at any
// point leaves a state that the next start (of the program or the updater)
// completes or rolls back.
//
// In order: each "<name>.uTMP" gets the permission bits of the file it
// replaces (rw-r--r-- for a new one), its folder's owner when root runs it,
// and is flushed; the journal "Upgrade.uJNL" (the list, and which names had a
// file before) replaces the list in the program folder; each old file is kept
// as a hard link "<name>.uOLD"; each working file is renamed over its name;
// the kept links and the journal go; the record of the upgrade is written
// (InstalledRecord.h).
//
// A journal found later means the replacement was cut off. When every working
// file still there is whole, the replacement is completed; otherwise it is
// rolled back from the kept links, and names that were new are removed. Both
// can be cut off and run again: a roll-back is written into the journal
// before it starts. Either way the folders end with all new files or all old.
#include "upgrade/Layout.h"

#include <string>
#include <vector>

namespace kv {

// Returns the names put in place. Throws UpgradeError (nothing replaced;
// the working files removed) when the list is missing or damaged, a file is
// missing or not whole, or a replacement fails (those made are undone first).
std::vector<std::string> InstallWorkingFiles(const UpgradeFolders& folders);

enum class RecoveryOutcome {
    Nothing,    // no replacement was cut off
    Completed,  // the interrupted replacement was finished: all files new
    RolledBack, // it was undone: all files old
    Abandoned,  // a download whose updater never began was removed: all old
    Damaged,    // a journal that cannot be read: left for a person to look at
};

struct Recovery {
    RecoveryOutcome outcome = RecoveryOutcome::Nothing;
    std::vector<std::string> names;  // the upgrade's files
    std::vector<std::string> binNow; // program files this recovery put in place
    std::string reason;              // why it was rolled back or not read
};

// Finishes or undoes a replacement cut off by a crash (its journal in the
// program folder). Call it holding the instance lock, before anything reads
// the program folder's update script or language packs.
Recovery RecoverInterruptedUpgrade(const UpgradeFolders& folders);

// A list of downloads that no updater is working on (the updater holds a lock
// on it while it lives: LockArrivedList): its files are removed. For the
// program's start, after RecoverInterruptedUpgrade; Abandoned when it removed one.
Recovery RemoveAbandonedDownload(const UpgradeFolders& folders);

// The updater's hold on the arrived list of home, so a program starting
// meanwhile leaves it alone: a descriptor to keep open, or -1 (no list).
int LockArrivedList(const std::string& home);

// The line a recovery reports ("" for Nothing), and whether it is an error.
std::string RecoveryText(const Recovery& r);
bool RecoveryIsError(const Recovery& r);

} // namespace kv
