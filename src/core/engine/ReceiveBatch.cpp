// The shared flushes and the remote deletes of a batch of received files.
#include "engine/ReceiveBatch.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "engine/CycleSupport.h"
#include "engine/DeliveryJournal.h"
#include "engine/Receive.h"
#include "ftp/FtpSession.h"
#include "logging/Logs.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kv {

namespace {

// A crash costs at most this much downloaded again (the files stay on the
// server until their batch is durable).
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

} // namespace

void ReceiveBatch::Add(PendingFile file) {
    paths_.insert(file.tmpPath);
    paths_.insert(file.inboxPath);
    bytes_ += file.bytes;
    files_.push_back(std::move(file));
}

bool ReceiveBatch::Full() const {
    return files_.size() >= kBatchFiles || bytes_ >= kBatchBytes;
}

void ReceiveBatch::MakeDataDurable() {
    if (files_.size() > 1 && SyncFileSystemOf(tmpFolder_))
        return;
    for (PendingFile& f : files_)
        f.why = FlushFile(f.tmpPath);
}

void ReceiveBatch::DeliverAll() {
    std::set<std::string> folders;
    for (PendingFile& f : files_) {
        if (f.why.empty() && LinkIntoInbox(f.tmpPath, f.inboxPath, f.why)) {
            f.delivered = true;
            folders.insert(FolderOf(f.inboxPath));
        }
    }
    // The entries are written while the new names wait for their folder's
    // flush; the journal's own flush then has little left.
    for (PendingFile& f : files_) {
        if (!f.delivered)
            continue;
        try {
            if (f.shaJob.valid())
                f.sha = f.shaJob.get();
            journal_.Append(f.remotePath, f.bytes, f.sha);
        } catch (const std::exception& e) {
            f.journalError = FirstCrLfToBlank(e.what());
        }
    }
    for (const std::string& folder : folders)
        SyncFolder(folder);
    std::string flushError;
    try {
        journal_.Flush();
    } catch (const std::exception& e) {
        flushError = FirstCrLfToBlank(e.what());
    }
    for (PendingFile& f : files_) {
        if (f.shaJob.valid())
            f.shaJob.wait();
        if (!f.delivered) {
            ReportError(state_, "Copy File From Tmp Failed!!!->" + f.name);
            ReportError(state_, f.why + "!!!");
            continue;
        }
        if (f.journalError.empty())
            f.journalError = flushError;
        if (::unlink(f.tmpPath.c_str()) != 0)
            ReportError(state_, "Delete Tmp File Failed!!!->" + f.name);
    }
}

void ReceiveBatch::LogDelete(PendingFile& f, const std::exception_ptr& failure) {
    if (!failure) {
        journal_.Remove(f.remotePath);
    } else {
        std::string message = cycle::MessageOf(failure);
        if (!message.empty()) {
            ReportError(state_, "Delete File Failed!!!->" + f.name);
            cycle::ReportFailure(state_, ini_, message);
            return;
        }
        ReportError(state_, "Delete File Failed!!!!->" + f.name);
    }
    WriteTransferRecord(state_, "Download File->" + f.name + " FileSize:" + IntToStr(f.size) +
                                    " Sender:" + f.found.sender + " Receiver:" + f.found.receiver +
                                    " Type:" + f.found.type);
    ReportInfo(state_, "Success Download File->" + f.name);
}

int ReceiveBatch::Finish(bool deleteRemote) {
    if (files_.empty())
        return 0;
    MakeDataDurable();
    DeliverAll();
    std::vector<PendingFile> files = std::move(files_);
    files_.clear();
    paths_.clear();
    bytes_ = 0;

    int delivered = 0;
    std::vector<PendingFile*> toDelete;
    std::vector<std::string> remotePaths;
    for (PendingFile& f : files) {
        if (!f.delivered)
            continue;
        ++delivered;
        // Remembered before the delete is tried: should it fail, or the
        // machine stop now, the same bytes are not delivered a second time.
        if (!f.journalError.empty())
            ReportError(state_, f.journalError + "!!!");
        if (deleteRemote) {
            toDelete.push_back(&f);
            remotePaths.push_back(f.remotePath);
        }
    }
    // The deletes go out together; each file's lines follow its own reply.
    std::vector<std::exception_ptr> results;
    std::exception_ptr lost;
    try {
        session_.Delete(remotePaths, results);
    } catch (...) {
        lost = std::current_exception();
    }
    for (size_t i = 0; i < results.size(); ++i)
        LogDelete(*toDelete[i], results[i]);
    if (lost) {
        // The files after the one that lost the connection stay delivered,
        // journalled and on the server.
        if (results.size() < toDelete.size())
            LogDelete(*toDelete[results.size()], lost);
        std::rethrow_exception(lost);
    }
    return delivered;
}

} // namespace kv
