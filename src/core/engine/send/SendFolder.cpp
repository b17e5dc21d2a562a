// The send passes over each outbox folder: listing, local checks,
// classification and rewrites, then the batches that send the files.
#include "engine/send/SendFolder.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "edi/Classify.h"
#include "edi/HeaderStamp.h"
#include "engine/cycle/CycleReports.h"
#include "engine/cycle/CycleState.h"
#include "engine/cycle/Hooks.h"
#include "engine/journal/TransferJournal.h"
#include "engine/send/OutboxHandle.h"
#include "engine/send/SendBatch.h"
#include "engine/send/SendUpload.h"
#include "history/TransferRecord.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "logging/ReportOrder.h"
#include "remote/RemoteSession.h"
#include "util/BusyFiles.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/LockProbe.h"
#include "util/Text.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// A file this large goes in a batch of its own, so its start line shows at once.
constexpr int64_t kLargeFile = 1 << 20;

// Senders whose files go out whatever their content says.
bool IsPrivilegedSender(const std::string& sender) {
    return sender == "KESTRA" || sender == "MAXWARDEN" || sender == "CUSTOM";
}

// Copies a refused file, byte for byte, into the error folder under a free
// name. False (reported) when that failed: the file must then stay.
bool CopyToErrorFolder(SendPass& p, const OutboxHandle& file, const std::string& outbox,
                       const std::string& name) {
    const std::string& folder = p.errorFolder;
    std::string why;
    if (folder.empty()) {
        why = "LocalErrPath is not set; set an error folder in the preferences";
    } else if (SameFolder(folder, outbox)) {
        why = "The error folder " + folder +
              " is the outbox itself; set another error folder in the preferences";
    } else {
        try {
            CopyFileToFreeName(file.ReadPath(), folder, name);
            return true;
        } catch (const std::exception& e) {
            why = FirstCrLfToBlank(e.what());
        }
    }
    ReportError(p.state, "Move File To Error Folder Failed!!!->" + PrintableName(name));
    ReportError(p.state, why + "!!!");
    return false;
}

// A file another program holds locked may still be being written.
bool SkipLocked(SendPass& p, const std::string& path, const std::string& name) {
    if (!IsFileLockedByOther(path))
        return false;
    ReportError(p.state, "File Locked, Not Sent!!!->" + PrintableName(name));
    return true;
}

// Opens the file for the pass; a name that no longer holds a regular file
// (swapped for a link, a fifo) is reported and left alone.
bool OpenOutboxFile(SendPass& p, OutboxHandle& file) {
    if (file.Open())
        return true;
    ReportError(p.state, "Open Local File ERROR!!!");
    return false;
}

// The CNC102 pass reports a file it cannot open as any other failure of a file.
void OpenForCnc102(OutboxHandle& file, const std::string& path) {
    if (!file.Open())
        throw FileError("Cannot open file " + PrintableName(path) + ": " + ErrnoText(errno) +
                        " (not a readable regular file)");
}

// A file a program still holds open for writing, or changed within the
// settle time, may be half written (many programs write without a lock): it
// waits for a later cycle, said in an information line.
bool StillBeingWritten(SendPass& p, const BusyFiles& busy, const std::string& folder,
                       const OutboxFile& f) {
    const std::string path = JoinPath(folder, f.Name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || IsFileLockedByOther(path))
        return false; // gone or locked: the pass reports it where it opens the file
    const std::time_t changed = std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec);
    if (!busy.Contains(st.st_dev, st.st_ino) &&
        std::time(nullptr) - changed >= p.settings.outboxSettleSeconds)
        return false;
    ReportInfo(p.state, "File Still Being Written, Not Sent Yet->" + PrintableName(f.Name));
    return true;
}

// The files to send from folder, but those whose earlier sending is not
// finished and those still being written. A folder the program cannot remove
// files from would send the same files at every pass: nothing is sent from
// it (false).
bool ListUsableOutbox(SendPass& p, const std::string& folder, std::vector<OutboxFile>& files) {
    files.clear();
    const BusyFiles busy = BusyFiles::Scan();
    // Hidden copies a rewrite cut off by a crash left beside their files:
    // never sent (hidden) and nobody else's, unless a program has one open.
    RemoveOwnTemporaryFiles(
        folder, [&busy](const struct stat& st) { return busy.Contains(st.st_dev, st.st_ino); });
    for (OutboxFile& f : ListOutbox(folder))
        if (!p.unfinished.count(JoinPath(folder, f.Name)) && !StillBeingWritten(p, busy, folder, f))
            files.push_back(std::move(f));
    if (files.empty() || ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
        return true;
    ReportError(p.state, "Cannot remove files from the outbox " + folder + " (" + ErrnoText(errno) +
                             "), so nothing is sent from it; give the program write access to "
                             "the folder!!!");
    return false;
}

std::string UploadRecord(const OutboxFile& f, const std::string& sender,
                         const std::string& receiver, const std::string& type) {
    TransferRecord r;
    r.direction = TransferDirection::Sent;
    r.name = PrintableName(f.Name);
    r.size = f.Size;
    r.sender = sender;
    r.receiver = receiver;
    r.type = type;
    return RecordText(r);
}

// Hands a prepared file to the batch; a large one goes alone.
void Queue(SendBatch& batch, OutgoingFile file) {
    const bool large = file.bytes > kLargeFile;
    if (large)
        batch.Finish();
    batch.Add(std::move(file));
    if (large || batch.Full())
        batch.Finish();
}

OutgoingFile Prepared(const OutboxFile& f, const std::string& path,
                      std::unique_ptr<OutboxHandle> file, std::string record,
                      ReportOrder::Group group) {
    OutgoingFile o;
    o.name = f.Name;
    o.path = path;
    o.bytes = static_cast<int64_t>(file->Now().st_size);
    o.record = std::move(record);
    o.file = std::move(file);
    o.group = group;
    return o;
}

// The CNC102 pass's destination and the remote "tmp" folder exist; when not,
// the reason is reported and endPass says whether SendFolder ends here.
bool Cnc102DestinationReady(SendPass& p, const std::string& dest, bool& endPass) {
    switch (CheckDestination(p, dest)) {
    case DestCheck::Ok:
        return true;
    case DestCheck::CurrentDirFailed:
        ReportError(p.state, " CNC102 Send Failed!!!!");
        endPass = false;
        return false;
    case DestCheck::DestMissing:
        ReportError(p.state, "RemoteExPath->" + dest + " Not Exist!!!");
        break;
    case DestCheck::TmpMissing:
        ReportError(p.state, "RemoteTempPath Not Exist!!!");
        break;
    }
    endPass = true;
    return false;
}

// The CNC102 pass. True when SendFolder must end here.
bool Cnc102Pass(SendPass& p) {
    std::string folder = p.settings.localExPath;
    if (folder.empty()) {
        // An empty folder name must not send whatever another folder holds.
        ReportError(p.state, "CNC102 Send Refused: LocalExPath Is Empty!!!");
        return false;
    }
    // An empty destination is "in" here, not the factory value.
    std::string dest = p.settings.remoteExPath;
    if (dest.empty())
        dest = "in";
    bool endPass = false;
    if (!Cnc102DestinationReady(p, dest, endPass))
        return endPass;
    const std::string& sender = p.settings.record.FileSender;
    std::vector<OutboxFile> files;
    if (!ListUsableOutbox(p, folder, files))
        return false;
    ReportOrder order(p.state);
    SendBatch batch(p, order, dest, false);
    for (const OutboxFile& f : files) {
        if (cycle::Stopping(p.state))
            break;
        const std::string path = JoinPath(folder, f.Name);
        const ReportOrder::Group group = order.Open();
        try {
            if (SkipLocked(p, path, f.Name)) {
                order.Finish(group);
                continue;
            }
            auto file = std::make_unique<OutboxHandle>(path);
            OpenForCnc102(*file, path);
            ReportInfo(p.state, "Start Upload File->" + PrintableName(f.Name));
            AddCnc102Header(p.state, path);
            OpenForCnc102(*file, path);
            OutgoingFile o = Prepared(f, path, std::move(file),
                                      UploadRecord(f, sender, "CUSTOM", "CNC102(FLAT)"), group);
            o.startReported = true;
            Queue(batch, std::move(o));
        } catch (const FileStillWrittenError&) {
            ReportInfo(p.state, "File Still Being Written, Not Sent Yet->" + PrintableName(f.Name));
            order.Finish(group);
        } catch (...) {
            // One file that cannot be stamped must not hold back the others.
            ReportStepFailure(p, "CNC102 Send Failed!!!");
            order.Finish(group);
        }
    }
    batch.Finish();
    return false;
}

// The rewrite a file's type needs before it goes (sender and receiver of a
// flat header, an interchange joined onto one line), and the file opened
// again when it was rewritten. False when it must not go now.
bool RewriteForSending(SendPass& p, OutboxHandle& file, const std::string& type,
                       const std::string& path, const std::string& shown) {
    bool rewritten = false;
    try {
        if (type == "PREMFT(FLAT)")
            rewritten = SetFlatHeaderParties(p.state, path);
        if (type.find("(EDIFACT)") != std::string::npos)
            rewritten = UnwrapEdifact(path) || rewritten;
    } catch (const FileStillWrittenError&) {
        ReportInfo(p.state, "File Still Being Written, Not Sent Yet->" + shown);
        return false;
    }
    return !rewritten || OpenOutboxFile(p, file);
}

// Classifies, checks and rewrites one file of the normal pass; a file that
// may go is handed to the batch, a refused one goes to the error folder.
void PrepareNormal(SendPass& p, SendBatch& batch, ReportOrder& order, const OutboxFile& f,
                   const std::string& folder) {
    const std::string path = JoinPath(folder, f.Name);
    const std::string shown = PrintableName(f.Name);
    const std::string& own = p.settings.record.FileSender;
    const ReportOrder::Group group = order.Open();
    struct Done {
        ReportOrder& order;
        ReportOrder::Group group;
        bool queued = false;
        ~Done() {
            if (!queued)
                order.Finish(group);
        }
    } done{order, group};
    if (SkipLocked(p, path, f.Name))
        return;
    auto file = std::make_unique<OutboxHandle>(path);
    if (!OpenOutboxFile(p, *file))
        return;
    Classification c = ClassifyFile(file->ReadPath(), f.Name, Direction::Outgoing);
    if (!c.ok) {
        ReportError(p.state, "Open Local File ERROR!!!");
        return;
    }
    bool maySend = true;
    if (c.type == "PREMFT(FLAT)") {
        // Rewritten for sending: sender and receiver are ours then.
        c.sender = own;
        c.receiver = "TOLMA";
    }
    if (!IsPrivilegedSender(own)) {
        maySend = c.sender == own;
        if (c.type.compare(0, 7, "UNKNOWN") == 0)
            ReportError(p.state, shown + " " + LangMessage(p.state, "f02"), true);
        else if (!maySend)
            ReportError(p.state, shown + " " + LangMessage(p.state, "f01"), true);
    }
    if (!maySend) {
        if (CopyToErrorFolder(p, *file, folder, f.Name))
            DeleteLocal(p, *file, path, f.Name);
        return;
    }
    // Only a file that goes out is rewritten: a refused one reaches the error
    // folder as it was.
    if (!RewriteForSending(p, *file, c.type, path, shown))
        return;
    done.queued = true;
    Queue(batch,
          Prepared(f, path, std::move(file), UploadRecord(f, c.sender, c.receiver, c.type), group));
}

// The normal pass. True when SendFolder must end here.
bool NormalPass(SendPass& p, const std::string& dest, const std::string& folder) {
    switch (CheckDestination(p, dest)) {
    case DestCheck::Ok:
        break;
    case DestCheck::CurrentDirFailed:
        ReportError(p.state, "Get RetrieveCurrentDir ERROR!!!");
        cycle::SetRestartFlag(p.state);
        return true;
    case DestCheck::DestMissing:
        ReportError(p.state, "RemoteInPath->" + dest + " Not Exist!!!");
        return true;
    case DestCheck::TmpMissing:
        ReportError(p.state, "RemoteTempPath Not Exist!!!");
        return true;
    }
    std::vector<OutboxFile> files;
    if (!ListUsableOutbox(p, folder, files))
        return false;
    ReportOrder order(p.state);
    SendBatch batch(p, order, dest, true);
    for (const OutboxFile& f : files) {
        if (cycle::Stopping(p.state))
            break;
        try {
            PrepareNormal(p, batch, order, f, folder);
        } catch (...) {
            // One file that cannot be rewritten must not hold back the others.
            ReportStepFailure(p, "Send Failed!!!");
        }
    }
    batch.Finish();
    return false;
}

} // namespace

// Serves one pair: run-before hook, CNC102 pass (Options/CNC102 = "1"),
// normal pass, closing lines. Returns the number of files sent.
int SendFolder(AppState& state, const CycleSettings& settings, TransferJournal& journal,
               const std::set<std::string>& unfinished, const std::string& remoteFolder,
               const std::string& localFolder) {
    RunHook(state, settings.runBefore, settings.timeInterval);
    SendPass p = MakeSendPass(state, settings, journal, unfinished);
    if (settings.cnc102) {
        try {
            if (Cnc102Pass(p))
                return p.count;
        } catch (...) {
            // The pass's failure is reported; the normal pass still runs.
            ReportStepFailure(p, "CNC102 Send Failed!!!");
        }
    }
    if (cycle::Stopping(state))
        return p.count;
    try {
        if (NormalPass(p, remoteFolder, localFolder))
            return p.count;
    } catch (...) {
        // The pass's failure is reported; the closing lines still follow.
        ReportStepFailure(p, "Send Failed!!!");
    }
    ReportInfo(state, "End Send!");
    if (p.count > 0)
        ReportInfo(state, "Total Send " + IntToStr(p.count) + " Files!", true);
    return p.count;
}

} // namespace kv
