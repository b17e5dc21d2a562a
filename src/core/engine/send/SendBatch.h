#pragma once
// Outbox files that are sent together, so that the flushes a crash-proof send
// needs are shared by the batch: the intents of the whole batch go to the
// journal and to disk before the first upload, each upload confirmed whole is
// marked, the "renaming" marks go to disk before the renames (sent together),
// the files then leave the outbox (its folder flushed), and their records go to
// disk. The next cycle finishes whatever a crash interrupted (see
// JournalRecovery), so each file is on the server once, with one record.
#include "engine/send/OutboxHandle.h"
#include "logging/ReportOrder.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace kv {

struct SendPass;
struct JournalEntry;

// One outbox file ready to go: opened, classified, rewritten where needed.
struct OutgoingFile {
    std::string name, path; // in the outbox
    int64_t bytes = 0;      // as opened (after rewrites)
    std::string record;     // its transfer-log record (without time stamp)
    std::unique_ptr<OutboxHandle> file;
    ReportOrder::Group group = 0;
    std::string remote; // the name on the server (the local name, "!" added while taken)
    JournalEntry* entry = nullptr;
    bool startReported = false; // its "Start Upload File->" line is out already
    bool uploaded = false;
    bool renamed = false;
};

class SendBatch {
public:
    // Files go to dest; a sent file's backup goes to the dated backup folder
    // (normal pass) or the backup folder itself (CNC102 pass).
    SendBatch(SendPass& p, ReportOrder& order, std::string dest, bool datedBackup)
        : p_(p), order_(order), dest_(std::move(dest)), dated_(datedBackup) {}

    bool Empty() const { return files_.empty(); }
    void Add(OutgoingFile file);
    // Enough waits to be worth the flushes (count and bytes bounded).
    bool Full() const;
    // Sends every waiting file: upload to "tmp", rename into dest, out of the
    // outbox, record, lines.
    void Finish();

private:
    bool WriteIntents(std::vector<OutgoingFile>& files);
    void Upload(OutgoingFile& f);
    void RenameAll(std::vector<OutgoingFile>& files);
    // After a refused rename where the server keeps what a name holds: the
    // rename under the next free name; its failure, if any.
    std::exception_ptr RenameUnderNextFreeName(OutgoingFile& f, std::exception_ptr failure);
    void ReportRenameFailure(OutgoingFile& f, const std::exception_ptr& failure);
    // The refusals to the journal, then the copies in "tmp" removed.
    void RemoveRefusedCopies(const std::vector<OutgoingFile*>& refused);
    void LeaveAll(std::vector<OutgoingFile>& files);

    SendPass& p_;
    ReportOrder& order_;
    std::string dest_;
    bool dated_;
    std::vector<OutgoingFile> files_;
    int64_t bytes_ = 0;
};

// A sent file leaves the outbox: moved into the backup folder where that is
// one rename on the same file system, else copied there and deleted. A failed
// backup is reported; the file is on the server all the same. Does not flush.
void LeaveOutbox(SendPass& p, const OutboxHandle& file, const std::string& path,
                 const std::string& name, bool dated);
// Deletes an outbox file (reported when it cannot be).
void DeleteLocal(SendPass& p, const OutboxHandle& file, const std::string& path,
                 const std::string& name);
// The backup folder of a sent file (its dated sub-folder when dated, made
// when missing); empty when no backups are kept.
std::string BackupFolder(SendPass& p, bool dated);

// "dev:ino:size:mtime:ctime" of an opened file, to tell it from another one
// under the same name later.
std::string IdentityOf(const struct stat& st);

// Whether a journal entry is one of a sent file.
bool IsSendEntry(const JournalEntry& e);

} // namespace kv
