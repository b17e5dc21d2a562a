#include "engine/Receive.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "edi/Classify.h"
#include "engine/CycleSupport.h"
#include "engine/DeliveryJournal.h"
#include "engine/Hooks.h"
#include "engine/ListingLine.h"
#include "engine/ReceiveBatch.h"
#include "ftp/FtpSession.h"
#include "logging/Logs.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Sha256.h"
#include "util/Text.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <future>
#include <memory>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// A download that did not bring the whole file.
class IncompleteDownload : public KvError {
public:
    using KvError::KvError;
};

// Above this size the hash of a new file is made beside the flush.
constexpr int64_t kHashOnTheSide = 1 << 20;
constexpr int64_t kWriteBackBytes = 8 << 20;

// Any entry of that name, a dangling link or a folder included: none of them
// may be replaced.
bool EntryExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void CheckComplete(const GetResult& r, int64_t size, bool binary) {
    if (!r.Complete)
        throw IncompleteDownload("Transfer cut short after " + IntToStr(r.Bytes) +
                                 " bytes; the file stays on the server");
    // In ASCII mode a server may add CRs, never drop bytes.
    if (size >= 0 && (binary ? r.Bytes != size : r.Bytes < size))
        throw IncompleteDownload("Transfer ended after " + IntToStr(r.Bytes) + " of " +
                                 IntToStr(size) + " bytes; the file stays on the server");
}

} // namespace

std::string ExtractListingName(const std::string& line) {
    std::string s = line;
    for (int field = 0; field < 8 && !s.empty(); ++field) {
        size_t blank = s.find(' ');
        if (blank != std::string::npos)
            s.erase(0, blank + 1);
        size_t first = s.find_first_not_of(' ');
        s.erase(0, first == std::string::npos ? s.size() : first);
    }
    size_t slash = s.rfind('/');
    if (slash != std::string::npos)
        s.erase(0, slash + 1);
    return s;
}

bool IsUsableListingName(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

namespace {

// A writer's exclusive flock, or any record lock of another process.
bool HeldByOtherProcess(int fd) {
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        return errno == EWOULDBLOCK;
    ::flock(fd, LOCK_UN);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return ::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

} // namespace

bool IsFileLocked(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;
    bool locked = HeldByOtherProcess(fd);
    ::close(fd);
    return locked;
}

bool IsFileLockedByOther(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool locked = HeldByOtherProcess(fd);
    ::close(fd);
    return locked;
}

bool LinkIntoInbox(const std::string& tmpPath, const std::string& target, std::string& why) {
    // link() never replaces an existing name, and the file appears whole.
    if (::link(tmpPath.c_str(), target.c_str()) == 0)
        return true;
    int e = errno;
    if (e == EEXIST || e == ENOENT || e == ENOTDIR || e == EACCES) {
        why = "Cannot write file " + target + ": " + ErrnoText(e);
        return false;
    }
    // Another file system (or one without hard links): a flushed copy under a
    // hidden name, then linked into place.
    try {
        CopyFileSafe(tmpPath, target, false);
    } catch (const std::exception& ex) {
        why = ex.what();
        return false;
    }
    return true;
}

void ReceiveAll(AppState& state, IniFile& ini) {
    ReportInfo(state, "Begin Receive......");
    cycle::ForEachFolderPair(state, ini, "RemoteOutPath", "LocalInPath",
                             [&](const std::string& remote, const std::string& inbox) {
                                 ReportInfo(state, "Now Receive From FTP Dir:" + remote);
                                 ReceiveFolder(state, ini, remote, inbox);
                             });
}

namespace {

// The remote folder's files: the usual listing of "R/*.*", completed by a
// listing of the folder itself, since servers that expand the pattern (vsftpd,
// proftpd, pure-ftpd) leave out every name without a dot.
std::vector<std::string> ListRemoteFolder(FtpSession& s, const std::string& remoteFolder,
                                          const std::string& pattern) {
    std::vector<std::string> listing;
    s.List(listing, pattern, true);
    std::set<std::string> names;
    for (const std::string& line : listing)
        names.insert(ParseListingLine(line).name);
    std::vector<std::string> whole;
    s.List(whole, remoteFolder, true);
    for (std::string& line : whole) {
        ListingEntry e = ParseListingLine(line);
        if (e.plainFile && names.insert(e.name).second)
            listing.push_back(std::move(line));
    }
    return listing;
}

// A file delivered before whose remote delete failed came again with the
// same bytes: only the delete is tried again.
void DeleteDeliveredAgain(AppState& state, IniFile& ini, FtpSession& s, DeliveryJournal& journal,
                          const std::string& remotePath, const std::string& name) {
    ReportInfo(state, "File->" + name + " Was Delivered Before, Not Delivered Again!");
    try {
        s.Delete(remotePath);
        journal.Remove(remotePath);
    } catch (...) {
        std::string message = cycle::MessageOf(std::current_exception());
        if (message.empty()) {
            ReportError(state, "Delete File Failed!!!!->" + name);
        } else {
            ReportError(state, "Delete File Failed!!!->" + name);
            cycle::ReportFailure(state, ini, message);
        }
    }
}

// Downloads one listed file into "TMP" and queues it for delivery; a file
// delivered before (its remote delete failed) only has its delete tried again.
void ReceiveOneFile(AppState& state, IniFile& ini, FtpSession& s, DeliveryJournal& journal,
                    ReceiveBatch& batch, const ListingEntry& entry, const std::string& remotePath,
                    const std::string& inboxFolder, const std::string& tmpFolder) {
    const bool binary = state.settings.BinaryTransfer();
    const std::string& name = entry.name;
    // In binary mode the size query goes with the download (one round trip
    // less); in ASCII mode it needs a type switch around it.
    int64_t size = -1;
    if (binary) {
        if (!s.Connected())
            throw ConnClosedGracefullyError();
    } else {
        s.SetTransferType(TransferType::Binary);
        try {
            size = s.Size(remotePath);
        } catch (...) {
            if (s.Connected()) {
                try {
                    s.SetTransferType(TransferType::Ascii);
                } catch (...) {
                }
            }
            throw;
        }
        s.SetTransferType(TransferType::Ascii);
    }
    state.ExpectedSize = size >= 0 ? size : entry.size;
    const int64_t sizeHint = state.ExpectedSize;

    // Every candidate with one more "!" is a longer name, so the search
    // ends at the file system's name length limit at the latest.
    std::string inboxPath = JoinPath(inboxFolder, name);
    while (EntryExists(inboxPath) || batch.Holds(inboxPath))
        inboxPath += "!";

    std::string tmpPath = JoinPath(tmpFolder, name);
    while (batch.Holds(tmpPath) || EntryExists(tmpPath)) {
        // A locked leftover may still be in use: it is left alone.
        if (!batch.Holds(tmpPath) && !IsFileLocked(tmpPath) && ::unlink(tmpPath.c_str()) == 0)
            continue;
        if (!batch.Holds(tmpPath)) {
            ReportError(state, "Delete ExistsTmp File Failed!!!->" + name);
            if (IsFileLocked(tmpPath)) {
                ReportError(state, "ExistsTmp File Locked!!!->" + name);
                cycle::SetRestartFlag(state, ini);
            }
        }
        tmpPath += "!";
    }

    ReportInfo(state, "Start Download File->" + name);
    bool downloaded = false;
    bool deliveredBefore = false;
    // The hash of a large new file is made while it arrives, on the other
    // core; it is needed only for the journal entry, after the flush.
    std::future<std::string> hashWhileReceiving;
    auto arriving = std::make_shared<std::atomic<bool>>(true);
    auto arrived = [&arriving] { arriving->store(false); };
    try {
        if (sizeHint > kHashOnTheSide && !journal.HasPath(remotePath, sizeHint)) {
            int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::close(fd);
                hashWhileReceiving = std::async(std::launch::async, [tmpPath, arriving] {
                    return FileSha256(tmpPath, [arriving] { return arriving->load(); });
                });
            }
        }
        GetResult r;
        try {
            r = s.Get(remotePath, tmpPath, true, binary ? &size : nullptr);
        } catch (...) {
            arrived();
            throw;
        }
        arrived();
        // Without a size answer, the listing's size field tells a binary
        // download cut short (and closed with 226) from a whole one.
        CheckComplete(r, binary && size < 0 ? entry.size : size, binary);
        downloaded = true;
        PendingFile file;
        file.name = name;
        file.remotePath = remotePath;
        file.tmpPath = tmpPath;
        file.inboxPath = inboxPath;
        file.size = size;
        file.bytes = r.Bytes;
        if (journal.HasPath(remotePath, r.Bytes)) {
            file.sha = FileSha256(tmpPath);
            deliveredBefore = journal.Contains(remotePath, r.Bytes, file.sha);
        } else if (hashWhileReceiving.valid()) {
            file.shaJob = std::move(hashWhileReceiving);
        } else if (r.Bytes > kHashOnTheSide) {
            file.shaJob = std::async(std::launch::async, [tmpPath] { return FileSha256(tmpPath); });
        } else {
            file.sha = FileSha256(tmpPath);
        }
        if (deliveredBefore) {
            ::unlink(tmpPath.c_str());
        } else {
            file.found = ClassifyFile(tmpPath, name, Direction::Incoming);
            if (!file.found.ok) {
                file.found.sender = file.found.receiver = file.found.type = "UNKNOWN";
                cycle::ReportBangError(state, "Open Local File ERROR!!!");
            }
            batch.Add(std::move(file));
        }
    } catch (...) {
        std::string message = cycle::MessageOf(std::current_exception());
        // A partial file must not be picked up as a leftover or delivered.
        if (!downloaded)
            ::unlink(tmpPath.c_str());
        if (message.empty()) {
            ReportError(state, "Download File Failed!!!!->" + name);
        } else {
            ReportError(state, "Download File Failed!!!->" + name);
            cycle::ReportFailure(state, ini, message);
        }
    }
    if (deliveredBefore)
        DeleteDeliveredAgain(state, ini, s, journal, remotePath, name);
}

} // namespace

int ReceiveFolder(AppState& state, IniFile& ini, const std::string& remoteFolder,
                  const std::string& inboxFolder) {
    std::shared_ptr<FtpSession> s = cycle::RequireSession(state);
    // A large download is written back while it arrives: the flush before
    // its remote delete then has little left.
    s->WriteBackBytes = kWriteBackBytes;
    std::vector<std::string> listing;
    int count = 0;

    std::string home = s->RetrieveCurrentDir();
    try {
        s->ChangeDir(remoteFolder);
        s->ChangeDir(home);
    } catch (...) {
        ReportError(state, "RemoteOutPath->" + remoteFolder + " Not Exist!!!");
        return count;
    }
    const std::string pattern = remoteFolder + "/*.*";
    try {
        listing = ListRemoteFolder(*s, remoteFolder, pattern);
    } catch (...) {
        ReportError(state, "FTP LIST Failed!!!");
        cycle::SetRestartFlag(state, ini);
        return count;
    }

    const std::string tmpFolder = state.PathInProgramDir("TMP");
    if (!DirectoryExists(tmpFolder))
        ForceDirectories(tmpFolder);
    // What a crash left of a copy across file systems is ours to remove.
    RemoveOwnTemporaryFiles(inboxFolder);
    DeliveryJournal journal(state.PathInProgramDir(kDeliveryJournalName));
    ReceiveBatch batch(state, ini, *s, journal, tmpFolder);
    std::set<std::string> listedNames;

    const size_t lines = listing.size();
    size_t recognised = 0, nonEmpty = 0;
    try {
        for (size_t i = 0; i < lines; ++i) {
            const std::string line = listing[i];
            if (!line.empty())
                ++nonEmpty;
            const ListingEntry entry = ParseListingLine(line);
            if (entry.recognised)
                ++recognised;
            if (!entry.plainFile)
                continue;
            if (cycle::Stopping(state))
                break;
            const std::string name = entry.name;
            if (!IsUsableListingName(name)) {
                ReportError(state, "Invalid File Name In FTP LIST!!!->" + PrintableName(name));
                continue;
            }
            // A name listed twice (both listings, or a server's repeat) is
            // handled once.
            if (!listedNames.insert(name).second)
                continue;
            ReceiveOneFile(state, ini, *s, journal, batch, entry, remoteFolder + "/" + name,
                           inboxFolder, tmpFolder);
            if (batch.Full())
                count += batch.Finish();
        }
        count += batch.Finish();
    } catch (...) {
        // What is complete in "TMP" is still delivered; its remote copy stays
        // and is recognised by its journal entry when it comes again.
        try {
            count += batch.Finish(false);
        } catch (...) {
        }
        throw;
    }
    if (nonEmpty > 0 && recognised == 0)
        ReportError(state, "FTP LIST Not Understood!!!->" + remoteFolder + ": none of its " +
                               IntToStr(static_cast<int64_t>(nonEmpty)) +
                               " lines has a known format");
    journal.KeepOnlyListed(remoteFolder, listedNames);
    try {
        journal.Save();
    } catch (const std::exception& e) {
        ReportError(state, FirstCrLfToBlank(e.what()) + "!!!");
    }
    if (cycle::Stopping(state))
        return count;

    try {
        listing.clear();
        s->List(listing, pattern, true);
    } catch (...) {
        ReportError(state, "FTP LIST Failed!!!!");
        cycle::SetRestartFlag(state, ini);
    }
    RunHook(state, HookKind::AfterReceive);
    ReportInfo(state, "End Receive!");
    if (count > 0)
        ReportInfo(state, "Total Receive " + IntToStr(count) + " Files!", true);
    return count;
}

} // namespace kv
