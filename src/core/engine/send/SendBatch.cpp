// A batch of outbox files sent with shared flushes, in the order that lets the
// next cycle finish whatever a crash interrupts, and how a sent file leaves
// the outbox.
#include "engine/send/SendBatch.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "engine/cycle/CycleReports.h"
#include "engine/cycle/CycleState.h"
#include "engine/journal/TransferJournal.h"
#include "engine/send/SendUpload.h"
#include "logging/Logs.h"
#include "remote/RemoteSession.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/LockProbe.h"
#include "util/Text.h"

#include <set>
#include <sys/stat.h>

namespace kv {

namespace {

// At most this many files (each holds an open descriptor) or bytes go
// together; a crash costs at most their uploads again.
constexpr size_t kBatchFiles = 128;
constexpr int64_t kBatchBytes = 16 << 20;

} // namespace

std::string IdentityOf(const struct stat& st) {
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
           std::to_string(st.st_ctim.tv_nsec);
}

bool IsSendEntry(const JournalEntry& e) {
    return !e.Get(send::Outbox).empty();
}

void DeleteLocal(SendPass& p, const OutboxHandle& file, const std::string& path,
                 const std::string& name) {
    if (file.Unlink())
        return;
    ReportError(p.state, "Delete File Failed!!!->" + PrintableName(name));
    if (IsFileLocked(path)) {
        ReportError(p.state, "File Locked!!!->" + PrintableName(name));
        cycle::SetRestartFlag(p.state);
    }
}

std::string BackupFolder(SendPass& p, bool dated) {
    const std::string& root = p.backupRoot;
    if (root.empty() || !dated)
        return root;
    std::string folder = BackupFolderName(p.state, root);
    if (!DirectoryExists(folder) && !ForceDirectories(folder)) {
        ReportMessage(p.state,
                      "Create Directory " + folder +
                          " Failed!!! Change To Create Default Directory.",
                      true, true);
        return root;
    }
    return folder;
}

void LeaveOutbox(SendPass& p, const OutboxHandle& file, const std::string& path,
                 const std::string& name, bool dated) {
    const std::string folder = BackupFolder(p, dated);
    if (!folder.empty() && SameFolder(folder, FolderOf(path))) {
        // A copy there would replace the file itself, which could then never
        // leave: the file is on the server, so it goes without a backup.
        ReportError(p.state, "Backup File Failed!!!->" + PrintableName(name));
        ReportError(p.state, "The backup folder " + folder +
                                 " is the folder the file was sent from; set another backup "
                                 "folder in the preferences!!!");
    } else if (!folder.empty()) {
        if (file.MoveTo(JoinPath(folder, name)))
            return;
        try {
            // Not flushed: the file is on the server already, the backup is a
            // spare copy, and the flush was the largest cost of a small send.
            CopyFileSafe(file.ReadPath(), JoinPath(folder, name), true, false);
        } catch (const std::exception& e) {
            ReportError(p.state, "Backup File Failed!!!->" + PrintableName(name));
            ReportError(p.state, FirstCrLfToBlank(e.what()) + "!!!");
        }
    }
    DeleteLocal(p, file, path, name);
}

void SendBatch::Add(OutgoingFile file) {
    bytes_ += file.bytes;
    files_.push_back(std::move(file));
}

bool SendBatch::Full() const {
    return files_.size() >= kBatchFiles || bytes_ >= kBatchBytes;
}

void SendBatch::Finish() {
    if (files_.empty())
        return;
    std::vector<OutgoingFile> files = std::move(files_);
    files_.clear();
    bytes_ = 0;
    ReportOrder::Finisher finish(order_);
    for (const OutgoingFile& f : files)
        finish.groups.push_back(f.group);
    if (!WriteIntents(files))
        return;
    for (OutgoingFile& f : files) {
        if (cycle::Stopping(p_.state)) {
            p_.journal.Mark(*f.entry, mark::Abandoned);
            continue;
        }
        Upload(f);
    }
    RenameAll(files);
    LeaveAll(files);
    try {
        p_.journal.Write();
    } catch (const std::exception&) {
        // Open entries of files sent: the next cycle finds them so and
        // finishes them without sending again.
    }
}

bool SendBatch::WriteIntents(std::vector<OutgoingFile>& files) {
    const std::string log = p_.state.logs.TransferLogOpen ? p_.state.logs.TransferLogPath : "";
    const std::string logAt = IntToStr(TransferLogSize(p_.state));
    for (OutgoingFile& f : files) {
        f.remote = f.name;
        f.entry = &p_.journal.Begin({{send::Name, f.name},
                                     {send::Outbox, f.path},
                                     {send::Identity, IdentityOf(f.file->Now())},
                                     {send::Size, IntToStr(f.bytes)},
                                     {send::Tmp, "tmp/" + f.remote},
                                     {send::Final, dest_ + "/" + f.remote},
                                     {send::Dest, dest_},
                                     {send::Dated, dated_ ? "1" : "0"},
                                     {send::Record, log.empty() ? "" : f.record},
                                     {send::Log, log},
                                     {send::LogAt, logAt},
                                     {send::Mailbox, p_.settings.mailbox}});
    }
    // On disk before the first byte goes: whatever is found on the server
    // afterwards is known to be ours.
    try {
        p_.journal.Flush();
    } catch (...) {
        // Without the intents on disk nothing may go: each file says so.
        for (OutgoingFile& f : files) {
            order_.Select(f.group);
            if (!f.startReported)
                ReportInfo(p_.state, "Start Upload File->" + PrintableName(f.name));
            ReportStepFailure(p_, "Send File Failed!!!->" + PrintableName(f.name));
            p_.journal.Mark(*f.entry, mark::Abandoned);
        }
        return false;
    }
    return true;
}

void SendBatch::Upload(OutgoingFile& f) {
    const std::string shown = PrintableName(f.name);
    order_.Select(f.group);
    if (!f.startReported)
        ReportInfo(p_.state, "Start Upload File->" + shown);
    const int64_t sentBefore = p_.s->TransferCommandsSent();
    const int64_t startedBefore = p_.state.TransfersStarted;
    const struct stat before = f.file->Now();
    // Another name than the one of the intent must be known before it is used.
    auto beforeName = [&](const std::string& remote) {
        p_.journal.Mark(*f.entry, mark::Renamed,
                        {{send::Tmp, "tmp/" + remote}, {send::Final, dest_ + "/" + remote}});
        p_.journal.Flush();
    };
    try {
        UploadUnderFreeName(p_, *f.file, f.name, dest_, f.remote, beforeName);
    } catch (...) {
        // One file's upload failure, of any kind, is that file's.
        const bool refused = [] {
            try {
                throw;
            } catch (const ProtocolReplyError&) {
                return true;
            } catch (...) {
                // Not a refusal: the answer may have been lost.
                return false;
            }
        }();
        ReportStepFailure(p_, "Send File Failed!!!->" + shown);
        // What arrived of an interrupted upload is no use to anyone; the
        // local file stays and goes again next time. A STOR the server
        // refused at once left nothing of ours (the name may be someone
        // else's); once it went out otherwise, answered or not, the server
        // may hold a copy under our name: should it stay, the entry stays
        // open, and the next cycle removes it before the file goes again.
        const bool nothingOurs = p_.s->TransferCommandsSent() == sentBefore ||
                                 (refused && p_.state.TransfersStarted == startedBefore);
        if (nothingOurs || DeleteRemoteTemp(p_, "tmp/" + f.remote))
            p_.journal.Mark(*f.entry, mark::Abandoned);
        return;
    }
    if (!f.file->Unchanged(before)) {
        // Still being written: what went out may be short.
        if (DeleteRemoteTemp(p_, "tmp/" + f.remote))
            p_.journal.Mark(*f.entry, mark::Abandoned);
        ReportError(p_.state, "Send File Failed!!!->" + shown);
        ReportError(p_.state, "The file " + shown +
                                  " changed while it was sent; it stays in the outbox and goes "
                                  "in a later pass!!!");
        return;
    }
    f.uploaded = true;
    p_.journal.Mark(*f.entry, mark::Whole);
    try {
        // Survives the end of the process: the next cycle renames it.
        p_.journal.Write();
    } catch (const std::exception&) {
        // Without the mark the next cycle sends the file again instead.
    }
}

std::exception_ptr SendBatch::RenameUnderNextFreeName(OutgoingFile& f, std::exception_ptr failure) {
    // The server refused to replace a file of that name: the next free name,
    // known to the journal before the rename.
    std::string remote = f.remote;
    return RenameUnderFreeName(
        p_, "tmp/" + f.remote, f.name, dest_, remote,
        [&](const std::string& next) {
            p_.journal.Mark(*f.entry, mark::Renaming, {{send::Final, dest_ + "/" + next}});
            p_.journal.Flush();
        },
        failure);
}

void SendBatch::ReportRenameFailure(OutgoingFile& f, const std::exception_ptr& failure) {
    order_.Select(f.group);
    try {
        std::rethrow_exception(failure);
    } catch (...) {
        // ReportStepFailure reports the failure being handled, of any kind.
        ReportStepFailure(p_, "Rename File Failed!!!->" + PrintableName(f.name));
    }
}

void SendBatch::RemoveRefusedCopies(const std::vector<OutgoingFile*>& refused) {
    if (refused.empty())
        return;
    for (OutgoingFile* f : refused)
        p_.journal.Mark(*f->entry, mark::Abandoned);
    try {
        // Only once the journal says the rename was refused may the copy go.
        p_.journal.Flush();
    } catch (const std::exception&) {
        return;
    }
    for (OutgoingFile* f : refused)
        DeleteRemoteTemp(p_, "tmp/" + f->remote);
}

void SendBatch::RenameAll(std::vector<OutgoingFile>& files) {
    std::vector<OutgoingFile*> uploaded;
    std::vector<std::pair<std::string, std::string>> pairs;
    for (OutgoingFile& f : files) {
        if (!f.uploaded)
            continue;
        uploaded.push_back(&f);
        pairs.emplace_back("tmp/" + f.remote, dest_ + "/" + f.remote);
        p_.journal.Mark(*f.entry, mark::Renaming);
    }
    if (uploaded.empty())
        return;
    std::vector<std::exception_ptr> results;
    std::exception_ptr lost;
    try {
        // A rename the server may carry out must be known first.
        p_.journal.Flush();
        p_.s->Rename(pairs, results);
    } catch (...) {
        // No answer after this point: the files from here on stay unsure.
        lost = std::current_exception();
    }
    std::vector<OutgoingFile*> refused;
    for (size_t i = 0; i < uploaded.size(); ++i) {
        OutgoingFile& f = *uploaded[i];
        std::exception_ptr failure = i < results.size() ? results[i] : lost;
        if (failure && i < results.size() && !lost && p_.s->RenameKeepsExisting()) {
            try {
                failure = RenameUnderNextFreeName(f, failure);
            } catch (...) {
                // The connection went during the retry: like a lost answer.
                lost = std::current_exception();
                results.resize(i);
                failure = lost;
            }
        }
        if (!failure) {
            f.renamed = true;
            continue;
        }
        ReportRenameFailure(f, failure);
        // Refused: the upload goes again in a later pass. Without an answer
        // (i >= results.size()) nobody knows yet: the next cycle looks.
        if (i < results.size())
            refused.push_back(&f);
    }
    RemoveRefusedCopies(refused);
}

void SendBatch::LeaveAll(std::vector<OutgoingFile>& files) {
    std::set<std::string> folders;
    bool any = false;
    for (OutgoingFile& f : files) {
        if (!f.renamed)
            continue;
        any = true;
        ++p_.count;
        ++p_.state.Counts.SentFiles;
        p_.state.Counts.SentBytes += f.bytes;
        order_.Select(f.group);
        // On the server now: the local file leaves the outbox before anything
        // else is written.
        LeaveOutbox(p_, *f.file, f.path, f.name, dated_);
        folders.insert(FolderOf(f.path));
    }
    if (!any)
        return;
    // Gone for good, also after a power loss: a file back in the outbox would
    // go a second time.
    for (const std::string& folder : folders)
        SyncFolder(folder);
    for (OutgoingFile& f : files)
        if (f.renamed)
            WriteTransferRecord(p_.state, f.record);
    FlushTransferLog(p_.state);
    for (OutgoingFile& f : files)
        if (f.renamed)
            p_.journal.Mark(*f.entry, mark::Closed);
    try {
        p_.journal.Write();
    } catch (const std::exception&) {
        // The next cycle finds these sent and closes them.
    }
    for (OutgoingFile& f : files) {
        if (!f.renamed)
            continue;
        order_.Select(f.group);
        ReportInfo(p_.state, "Success Upload File->" + PrintableName(f.name));
    }
}

} // namespace kv
