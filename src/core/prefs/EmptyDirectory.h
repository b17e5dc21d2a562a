#pragma once
// Emptying a working folder: EmptyDirectory deletes what a folder holds and
// keeps the folder itself. Failures are ignored (the entry stays); nothing is
// reported. Rules for the entries:
//   - sub-folders (recursive): emptied, then removed (a sub-folder that still
//     holds something stays); a mount point (another file system, or a bind
//     mount of the same one) is neither entered nor removed, and neither is
//     a folder deeper than kMaxDepth: both are noted in CleanContext::left;
//   - symbolic links: removed as links, never followed, wherever they point;
//   - read-only files (not writable by the user, or without the owner's
//     write bit for root) stay, as deleting them failed where the program
//     comes from;
//   - files another program holds open for writing or locked (BusyFiles) stay;
//   - every other entry (hidden files, fifos, sockets) is deleted.
// Folders are opened relative to their parent without following links, so a
// folder swapped for a link while the cleaning runs is not followed either.
#include "util/BusyFiles.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace kv {

class Host;

struct CleanContext {
    // Idle pump and progress: called every kPumpEvery entries and whenever
    // kPumpAfterMs passed since the last call (a slow file system), so a
    // window stays responsive while a large folder is emptied. Either may be
    // null.
    Host* host = nullptr;
    std::function<void(uint64_t entriesDone)> progress;
    // Files to leave alone; null when none are known.
    const BusyFiles* busy = nullptr;

    uint64_t entries = 0; // entries looked at so far
    uint64_t removed = 0; // files, links and folders removed so far
    // What was left on purpose, each with its reason (said to the user).
    std::vector<std::string> left;

    static constexpr uint64_t kPumpEvery = 128;
    static constexpr int kPumpAfterMs = 25;
    // Deeper folders than this are left as they are (each level holds a descriptor).
    static constexpr int kMaxDepth = 200;

    void Tick();

private:
    std::chrono::steady_clock::time_point lastPump_ = std::chrono::steady_clock::now();
};

// The id of the mount that name (relative to dirFd, links not followed) lies
// on; nullopt when the kernel cannot tell.
std::optional<uint64_t> MountId(int dirFd, const char* name);

// Empties path (a folder, or a link to one: the setting names it). Sub-folders
// only when recursive; without it they stay. Returns true.
bool EmptyDirectory(const std::string& path, bool recursive, CleanContext& ctx);

// A deletable regular file of the cleaning rules: writable (root: with the
// owner's write bit) and not busy. st is the file's lstat.
bool MayDeleteFile(int dirFd, const char* name, const struct stat& st, const BusyFiles* busy);

} // namespace kv
