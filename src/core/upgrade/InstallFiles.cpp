// Putting downloaded upgrade files in place under a journal: verify all, then
// replace all or none, and finish or undo a replacement a crash cut off.
#include "upgrade/InstallFiles.h"

#include "upgrade/InfoFile.h"
#include "upgrade/InstalledRecord.h"
#include "upgrade/Sha256.h"
#include "upgrade/UpgradePlan.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

struct ListedFile {
    std::string name;
    int64_t size = 0;
    std::string sha256;
    UpgradeDestination destination = UpgradeDestination::Bin;
    std::string target, work, kept;
    bool hadTarget = false;
};

// The list (or the journal's list): "info <sha> <version>" then one line per
// file, "<sha256> <size> <bin|home> [old|new ]<name>"; the journal first says
// "replace" or "rollback <reason>".
struct Listing {
    std::string path;
    std::string mode; // the journal's first line: "replace" or "rollback ..."
    std::string infoSha256, versionBefore;
    std::vector<ListedFile> files;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        lines.push_back(text.substr(pos, eol - pos));
        pos = eol + 1;
    }
    return lines;
}

// Splits off the first blank-separated word of rest.
std::string Word(std::string& rest) {
    size_t at = rest.find(' ');
    std::string word = rest.substr(0, at);
    rest = at == std::string::npos ? std::string() : rest.substr(at + 1);
    return word;
}

Listing ReadListing(const UpgradeFolders& folders, const std::string& path, bool journal) {
    Listing l;
    l.path = path;
    std::string text;
    try {
        text = ReadWholeFile(path);
    } catch (const FileError& e) {
        throw UpgradeError(e.what());
    }
    std::vector<std::string> lines = Lines(text);
    const std::string damaged = "The upgrade list " + path + " is damaged, so nothing was changed.";
    size_t at = 0;
    if (journal) {
        if (lines.empty())
            throw UpgradeError(damaged);
        l.mode = lines[at++];
    }
    if (at >= lines.size() || !StartsWith(lines[at], "info "))
        throw UpgradeError(damaged);
    std::string info = lines[at++].substr(5);
    l.infoSha256 = Word(info);
    if (l.infoSha256 == "-")
        l.infoSha256.clear();
    l.versionBefore = info;
    for (; at < lines.size(); ++at) {
        std::string rest = lines[at];
        ListedFile f;
        f.sha256 = Word(rest);
        f.size = TryStrToInt64(Word(rest)).value_or(-1);
        const bool tagOk = DestinationFromTag(Word(rest), &f.destination);
        bool hadOk = true;
        if (journal) {
            const std::string had = Word(rest);
            f.hadTarget = had == "old";
            hadOk = had == "old" || had == "new";
        }
        f.name = rest;
        const bool listedBefore = std::any_of(l.files.begin(), l.files.end(), [&](const auto& g) {
            return g.name == f.name && g.destination == f.destination;
        });
        bool nameOk = true;
        try {
            nameOk = DestinationOf(f.name) == f.destination;
        } catch (const UpgradeError&) {
            nameOk = false;
        }
        if (f.size < 0 || f.sha256.size() != 64 || !tagOk || !hadOk || !nameOk || listedBefore)
            throw UpgradeError(damaged);
        f.target = JoinPath(FolderFor(folders, f.destination), f.name);
        f.work = f.target + kWorkingSuffix;
        f.kept = f.target + kKeptSuffix;
        l.files.push_back(std::move(f));
    }
    if (l.files.empty())
        throw UpgradeError("The upgrade list " + path + " is empty, so nothing was changed.");
    return l;
}

std::string JournalText(const Listing& l, const std::string& mode) {
    std::string text = mode + "\ninfo " + (l.infoSha256.empty() ? "-" : l.infoSha256) + " " +
                       l.versionBefore + "\n";
    for (const auto& f : l.files)
        text += f.sha256 + " " + IntToStr(f.size) + " " + DestinationTag(f.destination) + " " +
                (f.hadTarget ? "old " : "new ") + f.name + "\n";
    return text;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Why the working file is not the one that was downloaded; "" when it is.
std::string NotWhole(const ListedFile& f) {
    struct stat st {};
    if (::lstat(f.work.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return "The upgrade file " + f.work + " is missing";
    try {
        if (st.st_size != f.size || Sha256OfFile(f.work) != f.sha256)
            return "The upgrade file " + f.work + " is not the file that was downloaded";
    } catch (const UpgradeError& e) {
        return e.what();
    }
    return {};
}

// Gives the working file the old file's permission bits (or rw-r--r-- for a new
// file) and, for root, its folder's owner, and flushes it to disk, so the
// rename publishes a complete file.
void Prepare(ListedFile& f, const UpgradeFolders& folders) {
    struct stat st {};
    f.hadTarget = ::lstat(f.target.c_str(), &st) == 0;
    if (f.hadTarget)
        ::stat(f.target.c_str(), &st); // a link's target gives the mode
    mode_t mode = f.hadTarget ? (st.st_mode & 07777) : 0644;
    int fd = ::open(f.work.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = fd >= 0 && ::fchmod(fd, mode) == 0;
    if (ok)
        TakeFolderOwner(fd, FolderFor(folders, f.destination));
    ok = ok && ::fsync(fd) == 0;
    int err = errno;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        throw UpgradeError("Cannot prepare " + f.work + ": " + ErrnoText(err));
}

void SyncBoth(const UpgradeFolders& folders) {
    SyncFolder(folders.bin);
    if (folders.home != folders.bin)
        SyncFolder(folders.home);
}

std::vector<std::string> Names(const Listing& l) {
    std::vector<std::string> names;
    for (const auto& f : l.files)
        names.push_back(f.name);
    return names;
}

void WriteRecordOf(const Listing& l, const UpgradeFolders& folders) {
    if (l.infoSha256.empty())
        return;
    try {
        WriteInstalledRecord(folders.home, {l.infoSha256, l.versionBefore, false});
    } catch (const FileError&) {
        // Without the record an upgrade that did not raise the version is
        // offered once more; the files are in place all the same.
    }
}

// The end of a replacement that put every file in place. The record comes
// first: while the journal is there, a crash still ends in a completion that
// writes it.
void FinishReplacement(const Listing& l, const UpgradeFolders& folders) {
    SyncBoth(folders);
    WriteRecordOf(l, folders);
    for (const auto& f : l.files)
        ::unlink(f.kept.c_str());
    // The list is gone once the journal is written, unless a crash came between.
    ::unlink(JoinPath(folders.home, kArrivedListName).c_str());
    ::unlink(l.path.c_str());
    SyncBoth(folders);
}

// Undoes a replacement from its journal; every step may run again after a crash.
void RollBack(Listing& l, const UpgradeFolders& folders, const std::string& reason) {
    if (!StartsWith(l.mode, "rollback")) {
        l.mode = "rollback " + reason;
        AtomicWriteFile(l.path, JournalText(l, l.mode), 0644, folders.home);
    }
    for (auto& f : l.files) {
        if (Exists(f.work)) {
            // Never renamed: the old file (or no file) is still in place.
            ::unlink(f.work.c_str());
            ::unlink(f.kept.c_str());
        } else if (f.hadTarget) {
            // Put back unless that was done before a crash.
            if (Exists(f.kept))
                ::rename(f.kept.c_str(), f.target.c_str());
        } else {
            ::unlink(f.target.c_str());
        }
    }
    SyncBoth(folders);
    ::unlink(JoinPath(folders.home, kArrivedListName).c_str());
    ::unlink(l.path.c_str());
    SyncBoth(folders);
}

} // namespace

std::vector<std::string> InstallWorkingFiles(const UpgradeFolders& folders) {
    const std::string listPath = JoinPath(folders.home, kArrivedListName);
    Listing l;
    try {
        l = ReadListing(folders, listPath, false);
        for (const auto& f : l.files)
            if (std::string why = NotWhole(f); !why.empty())
                throw UpgradeError(why + ", so nothing was changed.");
        for (auto& f : l.files)
            Prepare(f, folders);
    } catch (const UpgradeError&) {
        // Files that are not what was checked after the download must not stay
        // around to be taken by a later run.
        RemoveUpgradeWorkingFiles(folders);
        throw;
    }
    SyncBoth(folders);
    // From here on the journal says what to finish or undo after a crash.
    l.path = JoinPath(folders.home, kReplaceJournalName);
    l.mode = "replace";
    try {
        AtomicWriteFile(l.path, JournalText(l, l.mode), 0644, folders.home);
    } catch (const FileError& e) {
        RemoveUpgradeWorkingFiles(folders);
        throw UpgradeError(std::string(e.what()) + ", so nothing was changed.");
    }
    ::unlink(listPath.c_str());
    try {
        for (auto& f : l.files) {
            if (!f.hadTarget)
                continue;
            ::unlink(f.kept.c_str());
            if (::link(f.target.c_str(), f.kept.c_str()) != 0)
                throw UpgradeError("Cannot keep a copy of " + f.target + ": " + ErrnoText(errno));
        }
        SyncBoth(folders);
        for (auto& f : l.files) {
            if (::rename(f.work.c_str(), f.target.c_str()) != 0)
                throw UpgradeError("Cannot replace " + f.target + ": " + ErrnoText(errno));
        }
    } catch (const UpgradeError& e) {
        try {
            RollBack(l, folders, e.what());
        } catch (const FileError&) {
            // The journal stays: the next start undoes the replacement.
        }
        throw UpgradeError(std::string(e.what()) + ". The old files were kept.");
    }
    FinishReplacement(l, folders);
    RemoveUpgradeWorkingFiles(folders); // skipped files' leftovers
    return Names(l);
}

Recovery RecoverInterruptedUpgrade(const UpgradeFolders& folders) {
    Recovery r;
    const std::string path = JoinPath(folders.home, kReplaceJournalName);
    if (!Exists(path))
        return r;
    Listing l;
    try {
        l = ReadListing(folders, path, true);
    } catch (const UpgradeError& e) {
        r.outcome = RecoveryOutcome::Damaged;
        r.reason = e.what();
        return r;
    }
    r.names = Names(l);
    std::string why;
    if (StartsWith(l.mode, "rollback"))
        why = l.mode.size() > 9 ? l.mode.substr(9) : "the replacement failed";
    for (const auto& f : l.files)
        if (why.empty() && Exists(f.work))
            why = NotWhole(f);
    try {
        if (!why.empty()) {
            RollBack(l, folders, why);
            RemoveOwnTemporaryFiles(folders.home);
            r.outcome = RecoveryOutcome::RolledBack;
            r.reason = why;
            return r;
        }
        for (const auto& f : l.files) {
            if (!Exists(f.work))
                continue; // renamed before the crash
            if (::rename(f.work.c_str(), f.target.c_str()) != 0) {
                why = "Cannot replace " + f.target + ": " + ErrnoText(errno);
                RollBack(l, folders, why);
                RemoveOwnTemporaryFiles(folders.home);
                r.outcome = RecoveryOutcome::RolledBack;
                r.reason = why;
                return r;
            }
            if (f.destination == UpgradeDestination::Bin)
                r.binNow.push_back(f.name);
        }
        FinishReplacement(l, folders);
    } catch (const FileError& e) {
        r.outcome = RecoveryOutcome::Damaged;
        r.reason = e.what();
        return r;
    }
    RemoveOwnTemporaryFiles(folders.home); // a journal or record cut off while written
    r.outcome = RecoveryOutcome::Completed;
    return r;
}

Recovery RemoveAbandonedDownload(const UpgradeFolders& folders) {
    Recovery r;
    const std::string path = JoinPath(folders.home, kArrivedListName);
    if (Exists(JoinPath(folders.home, kReplaceJournalName)))
        return r;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return r;
    // An updater holds the list while it lives (it may be waiting for the lock).
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    if (!free)
        return r;
    try {
        r.names = Names(ReadListing(folders, path, false));
    } catch (const UpgradeError&) {
        // Its files go all the same.
    }
    RemoveUpgradeWorkingFiles(folders);
    RemoveOwnTemporaryFiles(folders.home); // a journal cut off while written
    r.outcome = RecoveryOutcome::Abandoned;
    return r;
}

int LockArrivedList(const std::string& home) {
    int fd = ::open(JoinPath(home, kArrivedListName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

std::string RecoveryText(const Recovery& r) {
    std::string names;
    for (const auto& n : r.names)
        names += (names.empty() ? "" : ", ") + n;
    switch (r.outcome) {
    case RecoveryOutcome::Nothing:
        return {};
    case RecoveryOutcome::Completed:
        return "An upgrade that was cut off has been completed: " + names + " put in place.";
    case RecoveryOutcome::RolledBack:
        return "An upgrade that was cut off has been rolled back, the old files are back (" +
               names + "): " + r.reason + ". Check for the new version again.";
    case RecoveryOutcome::Abandoned:
        return "A downloaded upgrade had not been put in place; its files were removed and "
               "nothing was changed. Check for the new version again.";
    case RecoveryOutcome::Damaged:
        return "An upgrade was cut off and cannot be finished or undone: " + r.reason +
               ". Reinstall the program.";
    }
    return {};
}

bool RecoveryIsError(const Recovery& r) {
    return r.outcome == RecoveryOutcome::RolledBack || r.outcome == RecoveryOutcome::Damaged;
}

} // namespace kv
