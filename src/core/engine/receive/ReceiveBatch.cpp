// The shared flushes, the delivery into the inboxes and the remote deletes of
// a batch of received files, in the order that lets the next cycle finish
// whatever a crash interrupts.
#include "engine/receive/ReceiveBatch.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "engine/cycle/CycleReports.h"
#include "engine/cycle/CycleState.h"
#include "engine/journal/TransferJournal.h"
#include "engine/receive/InboxDelivery.h"
#include "history/TransferRecord.h"
#include "logging/Logs.h"
#include "remote/RemoteSession.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// A crash costs at most this much downloaded again (the files stay on the
// server until their batch is delivered).
constexpr size_t kBatchFiles = 256;
constexpr int64_t kBatchBytes = 16 << 20;

// One flush of the whole file system that holds the folder: for many small
// files far cheaper than one flush (and one journal commit) each.
bool SyncFileSystemOf(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
}

// Any entry of that name, a dangling link or a folder included: none of them
// may be replaced.
bool EntryExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string RecordOf(const PendingFile& f) {
    TransferRecord r;
    r.direction = TransferDirection::Received;
    r.name = f.name;
    r.size = f.size;
    r.sender = f.found.sender;
    r.receiver = f.found.receiver;
    r.type = f.found.type;
    return RecordText(r);
}

// Whether the remote file still holds what was downloaded, as far as its
// size and modification time tell (FTP offers nothing surer short of
// downloading it again).
bool StillTheSame(const PendingFile& f, const RemoteSession::Stamp& now, bool binary) {
    const int64_t size = f.size >= 0 ? f.size : (binary ? f.bytes : -1);
    if (size >= 0 && now.size >= 0 && now.size != size)
        return false;
    if (!f.remoteTime.empty() && !now.time.empty() && now.time != f.remoteTime)
        return false;
    return true;
}

} // namespace

void ReceiveBatch::Add(PendingFile file) {
    tmpPaths_.insert(file.tmpPath);
    bytes_ += file.bytes;
    files_.push_back(std::move(file));
}

bool ReceiveBatch::Full() const {
    return files_.size() >= kBatchFiles || bytes_ >= kBatchBytes;
}

int ReceiveBatch::Finish(bool deleteRemote) {
    if (files_.empty())
        return 0;
    std::vector<PendingFile> files = std::move(files_);
    files_.clear();
    tmpPaths_.clear();
    bytes_ = 0;
    ReportOrder::Finisher finish(order_);
    for (const PendingFile& f : files)
        finish.groups.push_back(f.group);
    DropChangedOnServer(files);
    const int delivered = Deliver(files);
    if (deleteRemote && !cycle::Stopping(state_))
        DeleteRemote(files);
    return delivered;
}

void ReceiveBatch::DropChangedOnServer(std::vector<PendingFile>& all) {
    std::vector<PendingFile*> files;
    std::vector<std::string> paths;
    for (PendingFile& f : all) {
        if (f.before.empty() && f.step == BatchStep::Waiting) {
            files.push_back(&f);
            paths.push_back(f.remotePath);
        }
    }
    if (files.empty() || !session_.Connected())
        return;
    std::vector<RemoteSession::Stamp> stamps;
    try {
        stamps = session_.Stamps(paths);
    } catch (const std::exception&) {
        // Not known: what is whole in "TMP" is delivered, as without a check;
        // the check before the remote delete still keeps a changed file.
        return;
    }
    const bool binary = settings_.record.BinaryTransfer();
    for (size_t i = 0; i < stamps.size() && i < files.size(); ++i) {
        PendingFile& f = *files[i];
        const RemoteSession::Stamp& now = stamps[i];
        if ((now.size < 0 && now.Missing() && now.time.empty()) || StillTheSame(f, now, binary))
            continue;
        // Still being written by the partner: a short copy must not reach the
        // inbox; the whole file comes in a later cycle under its own name.
        ::unlink(f.tmpPath.c_str());
        f.before.clear();
        f.step = BatchStep::Skipped;
        order_.Select(f.group);
        ReportInfo(state_, "File->" + f.name +
                               " Changed On The Server While It Was Downloaded, Not Delivered; It "
                               "Comes Again Whole!");
    }
}

std::vector<PendingFile*> ReceiveBatch::NewDeliveries(std::vector<PendingFile>& all) {
    std::vector<PendingFile*> files;
    for (PendingFile& f : all)
        if (f.before.empty() && f.step != BatchStep::Skipped)
            files.push_back(&f);
    for (PendingFile* f : files) {
        try {
            if (f->shaJob.valid())
                f->sha = f->shaJob.get();
        } catch (const std::exception& e) {
            f->Fail(e.what());
        }
    }
    return files;
}

void ReceiveBatch::ChooseInboxNames(std::vector<PendingFile*>& files) {
    // Free inbox names, none taken twice within the batch.
    std::set<std::string> chosen;
    for (PendingFile* f : files) {
        std::string path = JoinPath(f->inboxFolder, f->name);
        while (EntryExists(path) || chosen.count(path))
            path += "!";
        chosen.insert(path);
        f->inboxPath = path;
    }
}

void ReceiveBatch::SyncInboxes(std::vector<PendingFile*>& files) {
    // The new names to disk before anything counts them as delivered.
    std::map<std::string, bool> folders;
    bool moved = false;
    for (PendingFile* f : files) {
        if (f->InInbox()) {
            folders[f->inboxFolder] = true;
            moved = moved || !f->copied;
        }
    }
    if (moved)
        folders[tmpFolder_] = true;
    for (auto& [folder, ok] : folders)
        ok = SyncFolderChecked(folder);
    for (PendingFile* f : files) {
        if (f->InInbox() && !folders[f->inboxFolder]) {
            // In the inbox, but not surely on disk: the next cycle confirms it.
            f->step = BatchStep::Unsure;
            f->failure =
                "Cannot write the folder " + f->inboxFolder + " to disk: " + ErrnoText(EIO);
        }
    }
}

std::string ReceiveBatch::RecordAndMark(std::vector<PendingFile*>& files) {
    // Records, then the marks that say so.
    bool recorded = false;
    for (PendingFile* f : files) {
        if (f->DurablyDelivered()) {
            WriteTransferRecord(state_, f->entry->Get(recv::Record));
            recorded = true;
        }
    }
    const bool recordsOnDisk = recorded && FlushTransferLog(state_);
    for (PendingFile* f : files) {
        if (f->entry && f->DurablyDelivered() && (recordsOnDisk || !recorded))
            journal_.Mark(*f->entry, mark::Delivered);
        else if (f->entry && !f->InInbox())
            journal_.Mark(*f->entry, mark::Abandoned);
    }
    try {
        journal_.Flush();
    } catch (const std::exception& e) {
        return FirstCrLfToBlank(e.what());
    }
    return "";
}

int ReceiveBatch::ReportDeliveries(std::vector<PendingFile*>& files,
                                   const std::string& journalError) {
    int delivered = 0;
    bool journalReported = false;
    for (PendingFile* f : files) {
        order_.Select(f->group);
        if (!f->InInbox()) {
            ReportError(state_, "Copy File From Tmp Failed!!!->" + f->name);
            ReportError(state_, f->failure + "!!!");
            // Its copy in "TMP" may go once nothing can take it for delivered.
            if (journalError.empty() || !f->intentWritten)
                ::unlink(f->tmpPath.c_str());
            continue;
        }
        ++delivered;
        ++state_.Counts.ReceivedFiles;
        state_.Counts.ReceivedBytes += f->bytes;
        if (f->step == BatchStep::Unsure)
            ReportError(state_, f->failure + "!!!");
        if (!journalError.empty() && !journalReported)
            ReportError(state_, journalError + "!!!");
        journalReported = true;
        if (f->copied && journalError.empty() && ::unlink(f->tmpPath.c_str()) != 0)
            ReportError(state_, "Delete Tmp File Failed!!!->" + f->name);
    }
    return delivered;
}

int ReceiveBatch::Deliver(std::vector<PendingFile>& all) {
    std::vector<PendingFile*> files = NewDeliveries(all);
    if (files.empty())
        return 0;
    ChooseInboxNames(files);
    if (WriteIntents(files))
        MoveIntoInboxes(files);
    SyncInboxes(files);
    const std::string journalError = RecordAndMark(files);
    return ReportDeliveries(files, journalError);
}

bool ReceiveBatch::WriteIntents(std::vector<PendingFile*>& files) {
    const std::string log = state_.logs.TransferLogOpen ? state_.logs.TransferLogPath : "";
    const std::string logAt = IntToStr(TransferLogSize(state_));
    std::vector<PendingFile*> ready;
    for (PendingFile* f : files) {
        if (f->step == BatchStep::Failed)
            continue;
        f->entry = &journal_.Begin({{recv::Name, f->name},
                                    {recv::Remote, f->remotePath},
                                    {recv::Size, IntToStr(f->bytes)},
                                    {recv::Sha, f->sha},
                                    {recv::Tmp, f->tmpPath},
                                    {recv::Inbox, f->inboxPath},
                                    {recv::Record, log.empty() ? "" : RecordOf(*f)},
                                    {recv::Log, log},
                                    {recv::LogAt, logAt},
                                    {recv::Mailbox, settings_.mailbox}});
        ready.push_back(f);
    }
    if (ready.empty())
        return false;
    // The intents and the files' bytes go to disk before any file takes its
    // inbox name: whatever is found in the inbox afterwards has its intent.
    try {
        journal_.Write();
        for (PendingFile* f : ready)
            f->intentWritten = true;
        if (ready.size() > 1 && journal_.SameFileSystem(tmpFolder_) && SyncFileSystemOf(tmpFolder_))
            return true;
        for (PendingFile* f : ready)
            if (const std::string failed = FlushFile(f->tmpPath); !failed.empty())
                f->Fail(failed);
        journal_.Flush();
    } catch (const std::exception& e) {
        for (PendingFile* f : ready)
            f->Fail(FirstCrLfToBlank(e.what()));
        return false;
    }
    return true;
}

void ReceiveBatch::MoveIntoInboxes(std::vector<PendingFile*>& files) {
    for (PendingFile* f : files) {
        if (f->step == BatchStep::Failed || !f->entry)
            continue;
        for (;;) {
            std::string why;
            const Delivery d = DeliverIntoInbox(f->tmpPath, f->inboxPath, why);
            if (d == Delivery::Moved || d == Delivery::Copied) {
                f->step = BatchStep::Delivered;
                f->copied = d == Delivery::Copied;
                break;
            }
            if (d == Delivery::Failed) {
                f->Fail(why);
                break;
            }
            // Taken since the name was chosen: the next one, known to the
            // journal before the file takes it.
            f->inboxPath += "!";
            if (FileNameOf(f->inboxPath).size() > kMaxNameBytes) {
                f->Fail("Cannot write file " + f->inboxPath + ": every free name is taken");
                break;
            }
            try {
                journal_.Mark(*f->entry, mark::Renamed, {{recv::Inbox, f->inboxPath}});
                journal_.Flush();
            } catch (const std::exception& e) {
                f->Fail(FirstCrLfToBlank(e.what()));
                break;
            }
        }
    }
}

std::vector<ReceiveBatch::DeleteOutcome>
ReceiveBatch::CheckUnchanged(const std::vector<PendingFile*>& files, std::exception_ptr& lost) {
    std::vector<std::string> paths;
    for (PendingFile* f : files)
        paths.push_back(f->remotePath);
    std::vector<DeleteOutcome> outcomes;
    // Each name must still hold what was downloaded: a file replaced on the
    // server meanwhile stays there and comes again.
    std::vector<RemoteSession::Stamp> stamps;
    try {
        stamps = session_.Stamps(paths);
    } catch (...) {
        // The connection is gone: no delete goes out, the first file carries
        // the failure, and it is thrown once the lines are written.
        lost = std::current_exception();
        outcomes.push_back({files.front(), false, true, lost});
    }
    const bool binary = settings_.record.BinaryTransfer();
    for (size_t i = 0; i < stamps.size(); ++i) {
        PendingFile& f = *files[i];
        const RemoteSession::Stamp& now = stamps[i];
        outcomes.push_back({&f, false, false, nullptr});
        if (now.size < 0 && now.Missing() && now.time.empty()) {
            outcomes.back().answered = true; // gone already
        } else if (!StillTheSame(f, now, binary)) {
            outcomes.back().changed = true;
            outcomes.back().answered = true;
        }
    }
    return outcomes;
}

void ReceiveBatch::SendDeletes(std::vector<DeleteOutcome>& outcomes, std::exception_ptr& lost) {
    std::vector<DeleteOutcome*> toDelete;
    std::vector<std::string> deletePaths;
    for (DeleteOutcome& o : outcomes) {
        if (!o.answered) {
            toDelete.push_back(&o);
            deletePaths.push_back(o.file->remotePath);
        }
    }
    std::vector<std::exception_ptr> results;
    if (!deletePaths.empty()) {
        try {
            session_.Delete(deletePaths, results);
        } catch (...) {
            // Thrown by the caller once the answered deletes are recorded.
            lost = std::current_exception();
        }
    }
    for (size_t i = 0; i < toDelete.size() && i <= results.size(); ++i) {
        // The file after the last answer is the one that lost the
        // connection; those after it stay delivered and on the server.
        toDelete[i]->failure = i < results.size() ? results[i] : lost;
        toDelete[i]->answered = true;
    }
}

void ReceiveBatch::ReportDeleteOutcomes(std::vector<DeleteOutcome>& outcomes) {
    for (DeleteOutcome& o : outcomes) {
        if (!o.answered)
            continue;
        order_.Select(o.file->group);
        if (o.changed) {
            ReportError(state_, "Delete File Failed!!!->" + o.file->name);
            ReportError(state_, "The file " + o.file->name +
                                    " changed on the server after it was downloaded; the new "
                                    "file stays there and comes in the next cycle!!!");
        } else {
            ReportDeleted(*o.file, o.failure);
        }
    }
}

void ReceiveBatch::DeleteRemote(std::vector<PendingFile>& all) {
    std::vector<PendingFile*> files;
    for (PendingFile& f : all)
        if (f.DurablyDelivered() || !f.before.empty())
            files.push_back(&f);
    if (files.empty())
        return;
    // What became of each file's remote copy; its journal marks go to the
    // file before its lines go to the log, so a crash in between can cost a
    // line, never write one twice.
    std::exception_ptr lost;
    std::vector<DeleteOutcome> outcomes = CheckUnchanged(files, lost);
    SendDeletes(outcomes, lost);
    for (DeleteOutcome& o : outcomes)
        if (o.answered && !o.changed)
            MarkDeleted(*o.file, o.failure);
    try {
        journal_.Write();
    } catch (const std::exception&) {
        // The entries stay open: the next cycle finds the files gone and
        // finishes them.
    }
    ReportDeleteOutcomes(outcomes);
    if (lost)
        std::rethrow_exception(lost);
}

void ReceiveBatch::MarkDeleted(PendingFile& f, const std::exception_ptr& failure) {
    if (failure) {
        // Only a refusal: a lost answer tells nothing of what the server did.
        try {
            std::rethrow_exception(failure);
        } catch (const ProtocolReplyError&) {
        } catch (...) {
            // Not a refusal: nothing is marked.
            return;
        }
        if (f.entry && f.entry->Open())
            journal_.Mark(*f.entry, mark::DeleteRefused);
        for (JournalEntry* e : f.before)
            if (e->Open() && e->Step() != EntryStep::DeleteRefused)
                journal_.Mark(*e, mark::DeleteRefused);
        return;
    }
    // Every delivery of this remote file is finished now.
    for (JournalEntry* e : journal_.OpenEntries())
        if (e->Get(recv::Remote) == f.remotePath && e->Delivered() &&
            e->OfMailbox(settings_.mailbox))
            journal_.Mark(*e, mark::Closed);
    if (f.entry && f.entry->Open())
        journal_.Mark(*f.entry, mark::Closed);
}

void ReceiveBatch::ReportDeleted(PendingFile& f, const std::exception_ptr& failure) {
    if (failure) {
        std::string message = cycle::MessageOf(failure);
        if (!message.empty()) {
            ReportError(state_, "Delete File Failed!!!->" + f.name);
            cycle::ReportFailure(state_, message);
            return;
        }
        ReportError(state_, "Delete File Failed!!!!->" + f.name);
    }
    ReportInfo(state_, "Success Download File->" + f.name);
}

} // namespace kv
