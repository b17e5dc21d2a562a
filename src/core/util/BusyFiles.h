#pragma once
// The files other programs are writing: a snapshot, taken once before a
// cleaning run, of every regular file that some process holds open for
// writing (its /proc/<pid>/fd entries whose /proc/<pid>/fdinfo flags say
// O_WRONLY or O_RDWR) or that carries a lock (/proc/locks: flock, POSIX and
// open-file-description locks). Cleaning leaves such files alone.
//
// Why /proc and not a lock probe per file: a writer such as a tray monitor
// appending to its log takes no lock at all, and one pass over /proc costs
// the same for 10 or 100,000 files. Only processes this user may inspect are
// seen (all of them for root); a file opened after the snapshot is not.
#include <cstdint>
#include <set>
#include <sys/types.h>
#include <utility>

namespace kv {

class BusyFiles {
public:
    // Reads /proc now; an unreadable entry is skipped.
    static BusyFiles Scan();

    bool Contains(dev_t dev, ino_t ino) const;
    // Whether some process holds this one file open for writing now: the
    // same walk over /proc, reading flags only of descriptors of that file
    // (no set of every busy file is made), for a check of one file.
    static bool HeldForWriting(dev_t dev, ino_t ino);
    void Add(dev_t dev, ino_t ino);
    size_t Size() const { return ids_.size(); }

private:
    void ScanOpenFiles();
    void ScanLocks();

    std::set<std::pair<uint64_t, uint64_t>> ids_;
};

} // namespace kv
