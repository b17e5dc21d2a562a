// The receive passes over each remote folder: the listing, each file's
// download into "TMP" with its checks, and the batches that deliver the files
// and delete them on the server.
#include "engine/receive/ReceiveFolder.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "edi/Classify.h"
#include "engine/cycle/CycleReports.h"
#include "engine/cycle/CycleState.h"
#include "engine/cycle/Hooks.h"
#include "engine/journal/TransferJournal.h"
#include "engine/receive/InboxDelivery.h"
#include "engine/receive/ListingLine.h"
#include "engine/receive/ReceiveBatch.h"
#include "logging/Logs.h"
#include "logging/ReportOrder.h"
#include "remote/RemoteSession.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/LockProbe.h"
#include "util/Sha256.h"
#include "util/Text.h"

#include <atomic>
#include <fcntl.h>
#include <future>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// A download that did not bring the whole file.
class IncompleteDownload : public KvError {
public:
    using KvError::KvError;
};

// Above this size the hash of a new file is made beside the download.
constexpr int64_t kHashOnTheSide = 1 << 20;
constexpr int64_t kWriteBackBytes = 8 << 20;
// A file this large starts a batch of its own, so its start line shows at once.
constexpr int64_t kLargeFile = 1 << 20;
// Listing names that cannot be received are reported one by one up to this
// many, then counted: a hostile listing cannot flood the log.
constexpr int kShownBadNames = 10;

bool EntryExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

int64_t CountLineBreaks(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int64_t breaks = 0;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        for (ssize_t i = 0; i < n; ++i)
            breaks += buf[i] == '\n';
    ::close(fd);
    return breaks;
}

// size: the server's size of the file (its SIZE answer, else its listing's
// size field; -1 when neither tells).
void CheckComplete(const GetResult& r, int64_t size, bool binary, const std::string& tmpPath) {
    if (!r.Complete)
        throw IncompleteDownload("Transfer cut short after " + IntToStr(r.Bytes) +
                                 " bytes; the file stays on the server");
    if (size < 0)
        return;
    // In ASCII mode line breaks may be converted, by at most one byte each.
    const bool shortOrLong =
        binary ? r.Bytes != size : r.Bytes < size && r.Bytes + CountLineBreaks(tmpPath) < size;
    if (shortOrLong)
        throw IncompleteDownload("Transfer ended after " + IntToStr(r.Bytes) + " of " +
                                 IntToStr(size) + " bytes; the file stays on the server");
}

// The deliveries of that remote file with that size whose remote copy may
// still be on the server.
std::vector<JournalEntry*> DeliveriesOf(TransferJournal& journal, const std::string& remotePath,
                                        int64_t size) {
    std::vector<JournalEntry*> found;
    for (JournalEntry* e : journal.OpenEntries())
        if (e->Has(mark::Delivered) && e->Get(recv::Remote) == remotePath &&
            e->Number(recv::Size) == size)
            found.push_back(e);
    return found;
}

struct FolderPass {
    AppState& state;
    const CycleSettings& settings;
    RemoteSession& s;
    TransferJournal& journal;
    ReceiveBatch& batch;
    std::string remoteFolder, inboxFolder, tmpFolder;
};

// A free name in "TMP": a leftover of that name goes unless it is locked
// (still in use) or waits in the batch.
std::string FreeTmpPath(FolderPass& p, const std::string& name) {
    std::string tmpPath = JoinPath(p.tmpFolder, name);
    while (p.batch.Holds(tmpPath) || EntryExists(tmpPath)) {
        if (!p.batch.Holds(tmpPath) && !IsFileLocked(tmpPath) && ::unlink(tmpPath.c_str()) == 0)
            continue;
        if (!p.batch.Holds(tmpPath)) {
            ReportError(p.state, "Delete ExistsTmp File Failed!!!->" + name);
            if (IsFileLocked(tmpPath)) {
                ReportError(p.state, "ExistsTmp File Locked!!!->" + name);
                cycle::SetRestartFlag(p.state);
            }
        }
        tmpPath += "!";
    }
    return tmpPath;
}

// Downloads one listed file into "TMP" and hands it to the batch: delivered
// with the batch, or, delivered before with these bytes, only deleted on the
// server. False when it did not reach the batch (its lines are complete).
bool ReceiveOneFile(FolderPass& p, const RemoteEntry& entry, ReportOrder::Group group) {
    AppState& state = p.state;
    RemoteSession& s = p.s;
    const bool binary = p.settings.record.BinaryTransfer();
    const std::string& name = entry.name;
    const std::string remotePath = p.remoteFolder + "/" + name;
    // In binary mode the size and time queries go with the download (no
    // round trip of their own); in ASCII mode they need a type switch.
    int64_t size = -1;
    std::string remoteTime;
    if (!binary) {
        const RemoteSession::Stamp stamp = s.Stamps({remotePath}).front();
        size = stamp.size;
        remoteTime = stamp.time;
    } else if (!s.Connected()) {
        throw ConnClosedGracefullyError();
    }
    state.ExpectedSize = size >= 0 ? size : entry.size;
    const int64_t sizeHint = state.ExpectedSize;
    const std::string tmpPath = FreeTmpPath(p, name);

    ReportInfo(state, "Start Download File->" + name);
    bool downloaded = false;
    // The hash of a large new file is made while it arrives, on the other
    // core; it is needed only for the journal, after the flush.
    std::future<std::string> hashWhileReceiving;
    auto arriving = std::make_shared<std::atomic<bool>>(true);
    auto arrived = [&arriving] { arriving->store(false); };
    try {
        if (sizeHint > kHashOnTheSide && DeliveriesOf(p.journal, remotePath, sizeHint).empty()) {
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
            // A server that sends more than the file's size is stopped.
            r = s.Get(remotePath, tmpPath, true, binary ? &size : nullptr,
                      binary ? &remoteTime : nullptr, size >= 0 ? size : entry.size);
        } catch (...) {
            arrived();
            throw;
        }
        arrived();
        // Without a size answer, the listing's size field tells a download
        // cut short (and closed with 226) from a whole one.
        CheckComplete(r, size >= 0 ? size : entry.size, binary, tmpPath);
        downloaded = true;
        PendingFile file;
        file.name = name;
        file.remotePath = remotePath;
        file.tmpPath = tmpPath;
        file.inboxFolder = p.inboxFolder;
        file.size = size;
        file.remoteTime = remoteTime;
        file.bytes = r.Bytes;
        file.group = group;
        std::vector<JournalEntry*> before = DeliveriesOf(p.journal, remotePath, r.Bytes);
        if (!before.empty()) {
            file.sha = FileSha256(tmpPath);
            for (JournalEntry* e : before)
                if (e->Get(recv::Sha) == file.sha)
                    file.before.push_back(e);
        }
        if (!file.before.empty()) {
            ::unlink(tmpPath.c_str());
            ReportInfo(state, "File->" + name + " Was Delivered Before, Not Delivered Again!");
            p.batch.Add(std::move(file));
            return true;
        }
        if (!file.sha.empty()) {
            // Hashed already.
        } else if (hashWhileReceiving.valid()) {
            file.shaJob = std::move(hashWhileReceiving);
        } else if (r.Bytes > kHashOnTheSide) {
            file.shaJob = std::async(std::launch::async, [tmpPath] { return FileSha256(tmpPath); });
        } else {
            file.sha = FileSha256(tmpPath);
        }
        file.found = ClassifyFile(tmpPath, name, Direction::Incoming);
        if (!file.found.ok) {
            file.found.sender = file.found.receiver = file.found.type = "UNKNOWN";
            cycle::ReportBangError(state, "Open Local File ERROR!!!");
        }
        p.batch.Add(std::move(file));
        return true;
    } catch (...) {
        std::string message = cycle::MessageOf(std::current_exception());
        // A partial file must not be picked up as a leftover or delivered.
        if (!downloaded)
            ::unlink(tmpPath.c_str());
        if (message.empty()) {
            ReportError(state, "Download File Failed!!!!->" + name);
        } else {
            ReportError(state, "Download File Failed!!!->" + name);
            cycle::ReportFailure(state, message);
        }
        return false;
    }
}

// After a complete listing: deliveries whose remote file is gone (deleted
// without an answer, or taken away) are finished. Without a complete listing
// nothing is forgotten.
void FinishUnlisted(AppState& state, TransferJournal& journal, const std::string& remoteFolder,
                    const RemoteListing& listing) {
    std::set<std::string> listed;
    for (const RemoteEntry& e : listing.entries)
        listed.insert(e.name);
    const std::string prefix = remoteFolder + "/";
    std::vector<std::string> succeeded;
    for (JournalEntry* e : journal.OpenEntries()) {
        const std::string& remote = e->Get(recv::Remote);
        if (!e->Has(mark::Delivered) || !StartsWith(remote, prefix) ||
            remote.find('/', prefix.size()) != std::string::npos ||
            listed.count(remote.substr(prefix.size())))
            continue;
        journal.Mark(*e, mark::Closed);
        // The success line its delete never got (none after a refused delete).
        if (!e->Has(mark::DeleteRefused) && !e->Get(recv::Name).empty())
            succeeded.push_back(e->Get(recv::Name));
    }
    try {
        journal.Write();
    } catch (const std::exception&) {
        return; // finished next time
    }
    for (const std::string& name : succeeded)
        ReportInfo(state, "Success Download File->" + name);
}

} // namespace

// Serves one pair; returns the number of files delivered into the inbox.
int ReceiveFolder(AppState& state, const CycleSettings& settings, TransferJournal& journal,
                  const std::string& remoteFolder, const std::string& inboxFolder) {
    std::shared_ptr<RemoteSession> s = cycle::RequireSession(state);
    // A large download is written back while it arrives: the flush before
    // its delivery then has little left.
    s->WriteBackBytes = kWriteBackBytes;
    RemoteListing listing;
    int count = 0;

    std::string home = s->RetrieveCurrentDir();
    try {
        s->ChangeDir(remoteFolder);
        s->ChangeDir(home);
    } catch (...) {
        ReportError(state, "RemoteOutPath->" + remoteFolder + " Not Exist!!!");
        return count;
    }
    // Names with a dot first, as servers that expand "*.*" list them.
    const std::string pattern = "*.*";
    try {
        listing = s->ListFolder(remoteFolder, pattern);
    } catch (...) {
        ReportError(state, "FTP LIST Failed!!!");
        // What the server answered, so the cause can be seen in the log.
        const std::string message = cycle::MessageOf(std::current_exception());
        if (!message.empty())
            ReportError(state, FirstCrLfToBlank(message) + "!!!");
        cycle::SetRestartFlag(state);
        return count;
    }

    // The listing is complete: deliveries whose remote copy it no longer
    // shows are finished before any file starts.
    FinishUnlisted(state, journal, remoteFolder, listing);

    const std::string tmpFolder = state.PathInProgramDir("TMP");
    if (!DirectoryExists(tmpFolder))
        ForceDirectories(tmpFolder);
    // What a crash left of a copy across file systems is ours to remove.
    RemoveInboxCopies(inboxFolder);
    std::set<std::string> listedNames;
    bool complete = true;
    {
        ReportOrder order(state);
        ReceiveBatch batch(state, settings, *s, journal, order, tmpFolder);
        FolderPass pass{state, settings, *s, journal, batch, remoteFolder, inboxFolder, tmpFolder};
        int badNames = 0;
        try {
            for (const RemoteEntry& entry : listing.entries) {
                if (entry.kind != RemoteKind::File)
                    continue;
                if (cycle::Stopping(state)) {
                    complete = false;
                    break;
                }
                if (!IsUsableListingName(entry.name)) {
                    if (++badNames <= kShownBadNames)
                        ReportError(state, "Invalid File Name In FTP LIST!!!->" +
                                               PrintableName(entry.name.substr(0, 300)));
                    continue;
                }
                // A name listed twice (both listings, or a server's repeat) is
                // handled once.
                if (!listedNames.insert(entry.name).second)
                    continue;
                if (entry.size > kLargeFile)
                    count += batch.Finish();
                const ReportOrder::Group group = order.Open();
                if (!ReceiveOneFile(pass, entry, group))
                    order.Finish(group);
                if (batch.Full())
                    count += batch.Finish();
            }
            count += batch.Finish(!cycle::Stopping(state));
        } catch (...) {
            // What is complete in "TMP" is still delivered; its remote copy
            // stays and is recognised by its journal entry when it comes again.
            try {
                count += batch.Finish(false);
            } catch (...) {
            }
            throw;
        }
        if (badNames > kShownBadNames)
            ReportError(state, "Invalid File Name In FTP LIST!!!->" +
                                   IntToStr(badNames - kShownBadNames) +
                                   " more names like these were skipped");
    }
    if (listing.textLines > 0 && listing.unknownLines == listing.textLines)
        ReportError(state, "FTP LIST Not Understood!!!->" + remoteFolder + ": none of its " +
                               IntToStr(static_cast<int64_t>(listing.textLines)) +
                               " lines has a known format");
    if (!complete || cycle::Stopping(state))
        return count;

    try {
        s->ListFolder(remoteFolder, pattern, true);
    } catch (...) {
        ReportError(state, "FTP LIST Failed!!!!");
        cycle::SetRestartFlag(state);
    }
    RunHook(state, settings.runAfter, settings.timeInterval);
    ReportInfo(state, "End Receive!");
    if (count > 0)
        ReportInfo(state, "Total Receive " + IntToStr(count) + " Files!", true);
    return count;
}

} // namespace kv
