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
#include <optional>
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
std::vector<JournalEntry*> DeliveriesOf(TransferJournal& journal, const std::string& mailbox,
                                        const std::string& remotePath, int64_t size) {
    std::vector<JournalEntry*> found;
    for (JournalEntry* e : journal.OpenEntries())
        if (e->Delivered() && e->OfMailbox(mailbox) && e->Get(recv::Remote) == remotePath &&
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

// The size and time the server gives for the file before its download: in
// binary mode the queries go with the download (no round trip of their own),
// in ASCII mode they need a type switch and are asked here.
void StampBeforeDownload(RemoteSession& s, bool binary, const std::string& remotePath,
                         int64_t& size, std::string& remoteTime) {
    if (!binary) {
        const RemoteSession::Stamp stamp = s.Stamps({remotePath}).front();
        size = stamp.size;
        remoteTime = stamp.time;
    } else if (!s.Connected()) {
        throw ConnClosedGracefullyError();
    }
}

// The hash of a large new file is made while it arrives, on the other core;
// it is needed only for the journal, after the flush. No job for a small file
// or one delivered before (its hash is compared at once).
std::future<std::string> HashWhileArriving(FolderPass& p, const std::string& remotePath,
                                           int64_t sizeHint, const std::string& tmpPath,
                                           const std::shared_ptr<std::atomic<bool>>& arriving) {
    if (sizeHint <= kHashOnTheSide ||
        !DeliveriesOf(p.journal, p.settings.mailbox, remotePath, sizeHint).empty())
        return {};
    int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return {};
    ::close(fd);
    return std::async(std::launch::async, [tmpPath, arriving] {
        return FileSha256(tmpPath, [arriving] { return arriving->load(); });
    });
}

// The file's hash: at once when it must be compared or is small, else the
// job that made it while it arrived, or one started now.
void HashOf(PendingFile& file, std::future<std::string>& whileArriving) {
    if (!file.sha.empty())
        return;
    if (whileArriving.valid()) {
        file.shaJob = std::move(whileArriving);
    } else if (file.bytes > kHashOnTheSide) {
        file.shaJob = std::async(std::launch::async,
                                 [tmpPath = file.tmpPath] { return FileSha256(tmpPath); });
    } else {
        file.sha = FileSha256(file.tmpPath);
    }
}

// A file whose bytes were delivered before under this remote path: only the
// remote delete is left (the entries of that delivery go with it).
bool DeliveredBefore(FolderPass& p, PendingFile& file) {
    std::vector<JournalEntry*> before =
        DeliveriesOf(p.journal, p.settings.mailbox, file.remotePath, file.bytes);
    if (before.empty())
        return false;
    file.sha = FileSha256(file.tmpPath);
    for (JournalEntry* e : before)
        if (e->Get(recv::Sha) == file.sha)
            file.before.push_back(e);
    return !file.before.empty();
}

void ReportDownloadFailure(AppState& state, const std::string& name, const std::string& message) {
    if (message.empty()) {
        ReportError(state, "Download File Failed!!!!->" + name);
    } else {
        ReportError(state, "Download File Failed!!!->" + name);
        cycle::ReportFailure(state, message);
    }
}

// Downloads the file into its "TMP" path, with its size and time as the
// server gives them. Throws what the download threw, the partial file removed.
void Download(FolderPass& p, const RemoteEntry& entry, PendingFile& file,
              std::future<std::string>& hash) {
    const bool binary = p.settings.record.BinaryTransfer();
    auto arriving = std::make_shared<std::atomic<bool>>(true);
    struct Arrived {
        std::shared_ptr<std::atomic<bool>> flag;
        ~Arrived() { flag->store(false); }
    } arrived{arriving};
    try {
        hash = HashWhileArriving(p, file.remotePath, p.state.ExpectedSize, file.tmpPath, arriving);
        // A server that sends more than the file's size is stopped.
        const int64_t limit = file.size >= 0 ? file.size : entry.size;
        GetResult r = p.s.Get(file.remotePath, file.tmpPath, true, binary ? &file.size : nullptr,
                              binary ? &file.remoteTime : nullptr, limit);
        // Without a size answer, the listing's size field tells a download
        // cut short (and closed with 226) from a whole one.
        CheckComplete(r, file.size >= 0 ? file.size : entry.size, binary, file.tmpPath);
        file.bytes = r.Bytes;
    } catch (...) {
        // Whatever ended the download, the partial file must not be picked up
        // as a leftover or delivered; the failure goes on to the caller.
        ::unlink(file.tmpPath.c_str());
        throw;
    }
}

// Downloads one listed file into "TMP" and hands it to the batch: delivered
// with the batch, or, delivered before with these bytes, only deleted on the
// server. False when it did not reach the batch (its lines are complete). A
// failed size or time query ends the whole receive (thrown).
bool ReceiveOneFile(FolderPass& p, const RemoteEntry& entry, ReportOrder::Group group) {
    PendingFile file;
    file.name = entry.name;
    file.remotePath = p.remoteFolder + "/" + entry.name;
    file.inboxFolder = p.inboxFolder;
    file.group = group;
    StampBeforeDownload(p.s, p.settings.record.BinaryTransfer(), file.remotePath, file.size,
                        file.remoteTime);
    p.state.ExpectedSize = file.size >= 0 ? file.size : entry.size;
    file.tmpPath = FreeTmpPath(p, entry.name);
    ReportInfo(p.state, "Start Download File->" + entry.name);
    std::future<std::string> hash;
    try {
        Download(p, entry, file, hash);
        if (DeliveredBefore(p, file)) {
            ::unlink(file.tmpPath.c_str());
            ReportInfo(p.state,
                       "File->" + entry.name + " Was Delivered Before, Not Delivered Again!");
            p.batch.Add(std::move(file));
            return true;
        }
        HashOf(file, hash);
        file.found = ClassifyFile(file.tmpPath, entry.name, Direction::Incoming);
    } catch (...) {
        // One file's failure, of any kind, is that file's: it is reported and
        // the pass goes on with the next one.
        ReportDownloadFailure(p.state, entry.name, cycle::MessageOf(std::current_exception()));
        return false;
    }
    if (!file.found.ok) {
        file.found.sender = file.found.receiver = file.found.type = "UNKNOWN";
        cycle::ReportBangError(p.state, "Open Local File ERROR!!!");
    }
    p.batch.Add(std::move(file));
    return true;
}

// After a complete listing: deliveries whose remote file is gone (deleted
// without an answer, or taken away) are finished. Without a complete listing
// nothing is forgotten.
void FinishUnlisted(AppState& state, TransferJournal& journal, const std::string& mailbox,
                    const std::string& remoteFolder, const RemoteListing& listing) {
    std::set<std::string> listed;
    for (const RemoteEntry& e : listing.entries)
        listed.insert(e.name);
    const std::string prefix = remoteFolder + "/";
    std::vector<std::string> succeeded;
    for (JournalEntry* e : journal.OpenEntries()) {
        const std::string& remote = e->Get(recv::Remote);
        const EntryStep step = e->Step();
        if (!e->Delivered() || !e->OfMailbox(mailbox) || !StartsWith(remote, prefix) ||
            remote.find('/', prefix.size()) != std::string::npos ||
            listed.count(remote.substr(prefix.size())))
            continue;
        journal.Mark(*e, mark::Closed);
        // The success line its delete never got (none after a refused delete).
        if (step != EntryStep::DeleteRefused && !e->Get(recv::Name).empty())
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

namespace {

// The remote folder can be entered (and left again).
bool RemoteFolderExists(AppState& state, RemoteSession& s, const std::string& remoteFolder) {
    std::string home = s.RetrieveCurrentDir();
    try {
        s.ChangeDir(remoteFolder);
        s.ChangeDir(home);
        return true;
    } catch (...) {
        // Any refusal of the folder, of whatever kind, is the one line below.
        ReportError(state, "RemoteOutPath->" + remoteFolder + " Not Exist!!!");
        return false;
    }
}

// The folder's listing; a refused one is reported (with what the server
// answered, so the cause can be seen in the log) and is none.
std::optional<RemoteListing> ListOrReport(AppState& state, RemoteSession& s,
                                          const std::string& remoteFolder,
                                          const std::string& pattern) {
    try {
        return s.ListFolder(remoteFolder, pattern);
    } catch (...) {
        // Whatever failed, the folder is not served this time: reported here.
        ReportError(state, "FTP LIST Failed!!!");
        const std::string message = cycle::MessageOf(std::current_exception());
        if (!message.empty())
            ReportError(state, FirstCrLfToBlank(message) + "!!!");
        cycle::SetRestartFlag(state);
        return std::nullopt;
    }
}

struct ListedRun {
    int delivered = 0;
    bool complete = true; // every listed file was tried (no stop request)
};

// One listed entry: a plain file with a name the inbox can hold, not handled
// before in this pass, goes to ReceiveOneFile and its batch.
void ReceiveListedEntry(FolderPass& p, ReportOrder& order, const RemoteEntry& entry,
                        std::set<std::string>& handled, int& badNames, ListedRun& run) {
    if (!IsUsableListingName(entry.name)) {
        if (++badNames <= kShownBadNames)
            ReportError(p.state, "Invalid File Name In FTP LIST!!!->" +
                                     PrintableName(entry.name.substr(0, 300)));
        return;
    }
    // A name listed twice (both listings, or a server's repeat) is handled once.
    if (!handled.insert(entry.name).second)
        return;
    if (entry.size > kLargeFile)
        run.delivered += p.batch.Finish();
    const ReportOrder::Group group = order.Open();
    if (!ReceiveOneFile(p, entry, group))
        order.Finish(group);
    if (p.batch.Full())
        run.delivered += p.batch.Finish();
}

// Every plain file of the listing, in batches.
ListedRun ReceiveListed(FolderPass& p, ReportOrder& order, const RemoteListing& listing) {
    ListedRun run;
    std::set<std::string> handled;
    int badNames = 0;
    try {
        for (const RemoteEntry& entry : listing.entries) {
            if (entry.kind != RemoteKind::File)
                continue;
            if (cycle::Stopping(p.state)) {
                run.complete = false;
                break;
            }
            ReceiveListedEntry(p, order, entry, handled, badNames, run);
        }
        run.delivered += p.batch.Finish(!cycle::Stopping(p.state));
    } catch (...) {
        // What is complete in "TMP" is still delivered; its remote copy stays
        // and is recognised by its journal entry when it comes again.
        try {
            p.batch.Finish(false);
        } catch (...) {
            // The first failure is the one that ends the pass.
        }
        throw;
    }
    if (badNames > kShownBadNames)
        ReportError(p.state, "Invalid File Name In FTP LIST!!!->" +
                                 IntToStr(badNames - kShownBadNames) +
                                 " more names like these were skipped");
    return run;
}

// After a pass over every listed file: the second listing, the run-after
// hook and the closing lines.
void FinishFolder(AppState& state, const CycleSettings& settings, RemoteSession& s,
                  const std::string& remoteFolder, const std::string& pattern, int count) {
    try {
        s.ListFolder(remoteFolder, pattern, true);
    } catch (...) {
        // The files are delivered already; a failed second listing is a line.
        ReportError(state, "FTP LIST Failed!!!!");
        cycle::SetRestartFlag(state);
    }
    RunHook(state, settings.runAfter, settings.timeInterval);
    ReportInfo(state, "End Receive!");
    if (count > 0)
        ReportInfo(state, "Total Receive " + IntToStr(count) + " Files!", true);
}

} // namespace

int ReceiveFolder(AppState& state, const CycleSettings& settings, TransferJournal& journal,
                  const std::string& remoteFolder, const std::string& inboxFolder) {
    std::shared_ptr<RemoteSession> s = cycle::RequireSession(state);
    // A large download is written back while it arrives: the flush before
    // its delivery then has little left.
    s->WriteBackBytes = kWriteBackBytes;
    if (!RemoteFolderExists(state, *s, remoteFolder))
        return 0;
    // Names with a dot first, as servers that expand "*.*" list them.
    const std::string pattern = "*.*";
    const std::optional<RemoteListing> listing = ListOrReport(state, *s, remoteFolder, pattern);
    if (!listing)
        return 0;
    // The listing is complete: deliveries whose remote copy it no longer
    // shows are finished before any file starts.
    FinishUnlisted(state, journal, settings.mailbox, remoteFolder, *listing);

    const std::string tmpFolder = state.PathInProgramDir("TMP");
    if (!DirectoryExists(tmpFolder))
        ForceDirectories(tmpFolder);
    // What a crash left of a copy across file systems is ours to remove.
    RemoveInboxCopies(inboxFolder);
    ListedRun run;
    {
        ReportOrder order(state);
        ReceiveBatch batch(state, settings, *s, journal, order, tmpFolder);
        FolderPass pass{state, settings, *s, journal, batch, remoteFolder, inboxFolder, tmpFolder};
        run = ReceiveListed(pass, order, *listing);
    }
    if (listing->textLines > 0 && listing->unknownLines == listing->textLines)
        ReportError(state, "FTP LIST Not Understood!!!->" + remoteFolder + ": none of its " +
                               IntToStr(static_cast<int64_t>(listing->textLines)) +
                               " lines has a known format");
    if (!run.complete || cycle::Stopping(state))
        return run.delivered;
    FinishFolder(state, settings, *s, remoteFolder, pattern, run.delivered);
    return run.delivered;
}

} // namespace kv
