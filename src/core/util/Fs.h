#pragma once
// File-system helpers with the program's rules: copies and rewrites never leave
// a partial target, folder searches match names without regard to letter case.
#include <cstddef>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace kv {

// The program folder: $KORVANE_HOME (made absolute) when set, else the running
// executable's folder. No trailing '/'.
std::string ProgramFolder();

// The running executable's full path (empty when /proc cannot tell).
std::string RunningExecutablePath();

// path made absolute and lexically normal, without a trailing '/' (path
// itself when the working folder cannot be read).
std::string AbsoluteFolder(const std::string& path);

// Joins a folder and a name with one '/'.
std::string JoinPath(const std::string& folder, const std::string& name);
// A folder setting as the program uses it: an absolute path as it is, a
// relative one (the defaults, "INBOX") inside the program folder, so a copy
// of a program folder works on its own folders.
std::string FolderInProgram(const std::string& programDir, const std::string& setting);
std::string FileNameOf(const std::string& path);
std::string FolderOf(const std::string& path);
// Flushes a folder, so that new names in it survive a crash. Errors are
// ignored: callers have flushed the files' data already.
void SyncFolder(const std::string& folder);
// The same for a step that must not go on unless the new names are on disk:
// false (errno set) when the folder could not be flushed.
bool SyncFolderChecked(const std::string& folder);
// Flushes a file's data and size to disk: "" once done, else the reason.
std::string FlushFile(const std::string& path);

bool FileExists(const std::string& path); // any existing non-folder entry
bool DirectoryExists(const std::string& path);

// Creates the folder with all missing parents. False when it cannot; the
// folder existing already counts as success.
bool ForceDirectories(const std::string& path);

// Whole file as bytes. Throws FileError naming the file on failure.
std::string ReadWholeFile(const std::string& path);

// Replaces the file atomically: writes a temporary file in the same folder,
// flushes it to disk and renames it over the target. The target keeps its
// permission bits; a new file gets newFileMode. With ownerFolder, a root run
// gives the new file that folder's owner (TakeFolderOwner) before it takes
// its name. Throws FileError (and leaves the target untouched) on failure.
void AtomicWriteFile(const std::string& path, const std::string& content,
                     unsigned newFileMode = 0644, const std::string& ownerFolder = {});

// The file a chain of symbolic links ends at (path itself when it is no link).
std::string LinkTarget(const std::string& path);

// The same replacement written piece by piece, for content too large to build
// in memory. Pieces go to a temporary file beside the target; Commit flushes it
// to disk and renames it over the target, which keeps its permission bits.
// Until Commit the target is untouched, and a writer destroyed without Commit
// (or whose Write or Commit threw) removes its temporary file.
class AtomicFileWriter {
public:
    explicit AtomicFileWriter(const std::string& target); // throws FileError
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    void Write(const char* data, size_t size); // throws FileError
    void Write(const std::string& text) { Write(text.data(), text.size()); }
    void Commit(); // throws FileError

private:
    void Flush();
    void Discard();

    std::string target_;
    std::string tmp_;
    int fd_ = -1;
    unsigned mode_ = 0644;
    std::string pending_;
};

// Longest file name (not path) the file systems take, in bytes.
inline constexpr size_t kMaxNameBytes = 255;

// Copies src to dst. With overwrite false an existing dst fails. The copy goes
// through a temporary name beside dst, so dst is either the old file or the
// complete copy; it keeps src's permission bits and, where allowed, its owner.
// The copy is flushed to disk before it takes its name unless flush is false
// (a spare copy whose original is kept elsewhere). With ownerFolder, a root
// run gives the copy that folder's owner instead (TakeFolderOwner). Throws
// FileError on failure.
void CopyFileSafe(const std::string& src, const std::string& dst, bool overwrite, bool flush = true,
                  const std::string& ownerFolder = {});

// Copies src into folder under name, or under name with "!" appended as often
// as needed to find a free one; nothing there is ever replaced. Returns the
// path of the copy. Throws FileError on failure.
std::string CopyFileToFreeName(const std::string& src, const std::string& folder,
                               const std::string& name);

// The hidden names the copies and rewrites above use while they write
// (".NAME.0123456789abcdef.part"); a crash can leave one behind.
bool IsOwnTemporaryName(const std::string& name);
// Removes such leftovers (regular files only) from folder, but those keep
// says to keep (a copy some program still has open); the count removed.
int RemoveOwnTemporaryFiles(const std::string& folder,
                            const std::function<bool(const struct stat&)>& keep = {});

// True when both paths name the same existing folder, however written.
bool SameFolder(const std::string& a, const std::string& b);

// Names (not paths) of the entries of folder whose names match pattern
// ('*' and '?', letter case ignored; "*.*" is every entry), sorted by name.
// Only regular files when filesOnly. Empty when the folder cannot be read.
std::vector<std::string> ListFolder(const std::string& folder, const std::string& pattern,
                                    bool filesOnly = true);

// A regular file (not a link, fifo, socket or device) whose name does not start
// with '.' and that the user may write: the "archive or normal" files that the
// transfer cycles pick up.
bool IsPlainWritableFile(const std::string& path);

// A root run in a program folder that belongs to someone else (a service's)
// must leave what it creates or replaces there usable by that owner: when
// this process runs as root, the open file fd, or path (a link itself, not
// what it points to), gets the owner and group of folder. Nothing happens
// for other users; failures are ignored (the file stays root's).
void TakeFolderOwner(int fd, const std::string& folder);
void TakeFolderOwner(const std::string& path, const std::string& folder);
// open(path, flags | O_CREAT, mode), where a file this call creates gets
// ownerFolder's owner (TakeFolderOwner) and an existing one is opened as it
// is. The descriptor, or -1 with errno set.
int OpenCreatingForFolderOwner(const std::string& path, int flags, unsigned mode,
                               const std::string& ownerFolder);

// The last error of the C library as text.
std::string ErrnoText(int err);

} // namespace kv
