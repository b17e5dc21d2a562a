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
    return "Download File->" + f.name + " FileSize:" + IntToStr(f.size) +
           " Sender:" + f.found.sender + " Receiver:" + f.found.receiver + " Type:" + f.found.type;
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
    const int delivered = Deliver(files);
    if (deleteRemote && !cycle::Stopping(state_))
        DeleteRemote(files);
    return delivered;
}

int ReceiveBatch::Deliver(std::vector<PendingFile>& all) {
    std::vector<PendingFile*> files;
    for (PendingFile& f : all)
        if (f.before.empty())
            files.push_back(&f);
    if (files.empty())
        return 0;
    for (PendingFile* f : files) {
        try {
            if (f->shaJob.valid())
                f->sha = f->shaJob.get();
        } catch (const std::exception& e) {
            f->why = e.what();
        }
    }
    // Free inbox names, none taken twice within the batch.
    std::set<std::string> chosen;
    for (PendingFile* f : files) {
        std::string path = JoinPath(f->inboxFolder, f->name);
        while (EntryExists(path) || chosen.count(path))
            path += "!";
        chosen.insert(path);
        f->inboxPath = path;
    }
    if (WriteIntents(files))
        MoveIntoInboxes(files);

    // The new names to disk before anything counts them as delivered.
    std::map<std::string, bool> folders;
    bool moved = false;
    for (PendingFile* f : files) {
        if (f->delivered) {
            folders[f->inboxFolder] = true;
            moved = moved || !f->copied;
        }
    }
    if (moved)
        folders[tmpFolder_] = true;
    for (auto& [folder, ok] : folders)
        ok = SyncFolderChecked(folder);
    std::string unsure;
    for (PendingFile* f : files) {
        if (f->delivered && !folders[f->inboxFolder]) {
            // In the inbox, but not surely on disk: the next cycle confirms it.
            unsure = "Cannot write the folder " + f->inboxFolder + " to disk: " + ErrnoText(EIO);
            f->why = unsure;
        }
    }

    // Records, then the marks that say so.
    bool recorded = false;
    for (PendingFile* f : files) {
        if (f->delivered && f->why.empty()) {
            WriteTransferRecord(state_, f->entry->Get(recv::Record));
            recorded = true;
        }
    }
    const bool recordsOnDisk = recorded && FlushTransferLog(state_);
    for (PendingFile* f : files) {
        if (f->entry && f->delivered && f->why.empty() && (recordsOnDisk || !recorded))
            journal_.Mark(*f->entry, mark::Delivered);
        else if (f->entry && !f->delivered)
            journal_.Mark(*f->entry, mark::Abandoned);
    }
    std::string journalError;
    try {
        journal_.Flush();
    } catch (const std::exception& e) {
        journalError = FirstCrLfToBlank(e.what());
    }

    int delivered = 0;
    bool journalReported = false;
    for (PendingFile* f : files) {
        order_.Select(f->group);
        if (!f->delivered) {
            ReportError(state_, "Copy File From Tmp Failed!!!->" + f->name);
            ReportError(state_, f->why + "!!!");
            // Its copy in "TMP" may go once nothing can take it for delivered.
            if (journalError.empty() || !f->intentWritten)
                ::unlink(f->tmpPath.c_str());
            continue;
        }
        ++delivered;
        ++state_.Counts.ReceivedFiles;
        state_.Counts.ReceivedBytes += f->bytes;
        if (!f->why.empty())
            ReportError(state_, f->why + "!!!");
        if (!journalError.empty() && !journalReported)
            ReportError(state_, journalError + "!!!");
        journalReported = true;
        if (f->copied && journalError.empty() && ::unlink(f->tmpPath.c_str()) != 0)
            ReportError(state_, "Delete Tmp File Failed!!!->" + f->name);
    }
    return delivered;
}

bool ReceiveBatch::WriteIntents(std::vector<PendingFile*>& files) {
    const std::string log = state_.logs.TransferLogOpen ? state_.logs.TransferLogPath : "";
    const std::string logAt = IntToStr(TransferLogSize(state_));
    std::vector<PendingFile*> ready;
    for (PendingFile* f : files) {
        if (!f->why.empty())
            continue;
        f->entry = &journal_.Begin({{recv::Name, f->name},
                                    {recv::Remote, f->remotePath},
                                    {recv::Size, IntToStr(f->bytes)},
                                    {recv::Sha, f->sha},
                                    {recv::Tmp, f->tmpPath},
                                    {recv::Inbox, f->inboxPath},
                                    {recv::Record, log.empty() ? "" : RecordOf(*f)},
                                    {recv::Log, log},
                                    {recv::LogAt, logAt}});
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
            f->why = FlushFile(f->tmpPath);
        journal_.Flush();
    } catch (const std::exception& e) {
        for (PendingFile* f : ready)
            if (f->why.empty())
                f->why = FirstCrLfToBlank(e.what());
        return false;
    }
    return true;
}

void ReceiveBatch::MoveIntoInboxes(std::vector<PendingFile*>& files) {
    for (PendingFile* f : files) {
        if (!f->why.empty() || !f->entry)
            continue;
        for (;;) {
            const Delivery d = DeliverIntoInbox(f->tmpPath, f->inboxPath, f->why);
            if (d == Delivery::Moved || d == Delivery::Copied) {
                f->delivered = true;
                f->copied = d == Delivery::Copied;
                break;
            }
            if (d == Delivery::Failed)
                break;
            // Taken since the name was chosen: the next one, known to the
            // journal before the file takes it.
            f->inboxPath += "!";
            if (FileNameOf(f->inboxPath).size() > kMaxNameBytes) {
                f->why = "Cannot write file " + f->inboxPath + ": every free name is taken";
                break;
            }
            try {
                journal_.Mark(*f->entry, mark::Renamed, {{recv::Inbox, f->inboxPath}});
                journal_.Flush();
            } catch (const std::exception& e) {
                f->why = FirstCrLfToBlank(e.what());
                break;
            }
        }
    }
}

void ReceiveBatch::DeleteRemote(std::vector<PendingFile>& all) {
    std::vector<PendingFile*> files;
    std::vector<std::string> paths;
    for (PendingFile& f : all) {
        if ((f.delivered && f.why.empty()) || !f.before.empty()) {
            files.push_back(&f);
            paths.push_back(f.remotePath);
        }
    }
    if (files.empty())
        return;
    const bool binary = settings_.record.BinaryTransfer();
    // What became of each file's remote copy; its journal marks go to the
    // file before its lines go to the log, so a crash in between can cost a
    // line, never write one twice.
    struct Outcome {
        PendingFile* file;
        bool changed = false; // replaced on the server: not deleted
        bool answered = false;
        std::exception_ptr failure;
    };
    std::vector<Outcome> outcomes;
    std::exception_ptr lost;
    // Each name must still hold what was downloaded: a file replaced on the
    // server meanwhile stays there and comes again.
    std::vector<RemoteSession::Stamp> stamps;
    try {
        stamps = session_.Stamps(paths);
    } catch (...) {
        lost = std::current_exception();
        outcomes.push_back({files.front(), false, true, lost});
    }
    std::vector<Outcome*> toDelete;
    std::vector<std::string> deletePaths;
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
    for (Outcome& o : outcomes) {
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
            lost = std::current_exception();
        }
    }
    for (size_t i = 0; i < toDelete.size() && i <= results.size(); ++i) {
        // The file after the last answer is the one that lost the
        // connection; those after it stay delivered and on the server.
        toDelete[i]->failure = i < results.size() ? results[i] : lost;
        toDelete[i]->answered = true;
    }
    for (Outcome& o : outcomes)
        if (o.answered && !o.changed)
            MarkDeleted(*o.file, o.failure);
    try {
        journal_.Write();
    } catch (const std::exception&) {
        // The entries stay open: the next cycle finds the files gone and
        // finishes them.
    }
    for (Outcome& o : outcomes) {
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
            return;
        }
        if (f.entry && f.entry->Open())
            journal_.Mark(*f.entry, mark::DeleteRefused);
        for (JournalEntry* e : f.before)
            if (e->Open() && !e->Has(mark::DeleteRefused))
                journal_.Mark(*e, mark::DeleteRefused);
        return;
    }
    // Every delivery of this remote file is finished now.
    for (JournalEntry* e : journal_.OpenEntries())
        if (e->Get(recv::Remote) == f.remotePath && e->Has(mark::Delivered))
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
