#pragma once
// Downloaded files that are delivered into their inbox together, so that the
// flushes a crash-proof delivery needs are shared by the batch: the intents
// of the whole batch go to the journal and to disk with the files' data, the
// files are moved into the inbox, the inbox folder goes to disk, then the
// records and the "delivered" marks; only then are the remote copies checked
// and deleted. The next cycle finishes whatever a crash interrupted (see
// JournalRecovery), so each file ends up in the inbox once, with one record.
#include "edi/Classify.h"
#include "logging/ReportOrder.h"

#include <cstdint>
#include <future>
#include <set>
#include <string>
#include <vector>

namespace kv {

struct AppState;
struct CycleSettings;
class RemoteSession;
class TransferJournal;
struct JournalEntry;

// One complete download waiting in "TMP" (or, delivered before, only its
// remote delete).
// Where a file of the batch stands.
enum class BatchStep {
    Waiting,   // whole in "TMP", not delivered yet
    Failed,    // not delivered (its remote copy stays): `failure` says why
    Delivered, // in its inbox, on disk
    Unsure,    // in its inbox, but its folder did not reach the disk: `failure` says why
    Skipped,   // changed on the server after its download: not delivered, comes again
};

struct PendingFile {
    std::string name, remotePath, tmpPath, inboxFolder;
    std::string inboxPath;  // chosen when the batch is delivered
    int64_t size = -1;      // the server's SIZE answer (-1 without one)
    std::string remoteTime; // its MDTM answer (empty without one)
    int64_t bytes = 0;      // what arrived
    Classification found;
    std::string sha;                 // known at once for a small file,
    std::future<std::string> shaJob; // else made on the other core
    ReportOrder::Group group = 0;
    // Delivered before (same remote path, size and bytes): only the remote
    // delete is left, and the entries of that delivery.
    std::vector<JournalEntry*> before;
    JournalEntry* entry = nullptr; // the intent of this delivery
    bool intentWritten = false;    // it reached the journal file
    BatchStep step = BatchStep::Waiting;
    std::string failure; // of a Failed or Unsure file
    bool copied = false; // across file systems: tmpPath still to remove

    bool InInbox() const { return step == BatchStep::Delivered || step == BatchStep::Unsure; }
    // In its inbox, surely on disk: its record and remote delete may follow.
    bool DurablyDelivered() const { return step == BatchStep::Delivered; }
    // Not delivered, for this reason (the first one given counts).
    void Fail(const std::string& why) {
        if (step == BatchStep::Failed)
            return;
        step = BatchStep::Failed;
        failure = why;
    }
};

class ReceiveBatch {
public:
    ReceiveBatch(AppState& state, const CycleSettings& settings, RemoteSession& session,
                 TransferJournal& journal, ReportOrder& order, std::string tmpFolder)
        : state_(state), settings_(settings), session_(session), journal_(journal), order_(order),
          tmpFolder_(std::move(tmpFolder)) {}

    // A TMP path a file of the batch holds.
    bool Holds(const std::string& path) const { return tmpPaths_.count(path) != 0; }
    void Add(PendingFile file);
    // Enough waits to be worth the flushes (count and bytes bounded).
    bool Full() const;
    // Delivers every waiting file durably into its inbox, then deletes each
    // on the server where it still holds what was downloaded. Returns the
    // number delivered. A remote delete that loses the connection is thrown
    // once the files are delivered. With deleteRemote false (the cycle
    // failed or stops) only the delivery is done: the next cycle deletes.
    int Finish(bool deleteRemote = true);

private:
    // Files whose remote copy changed since their download (the partner still
    // writing) are dropped from "TMP" and left for a later cycle.
    void DropChangedOnServer(std::vector<PendingFile>& files);
    // Steps up to the "delivered" marks; returns the number delivered.
    int Deliver(std::vector<PendingFile>& files);
    // The files not delivered before, with their hashes.
    std::vector<PendingFile*> NewDeliveries(std::vector<PendingFile>& all);
    void ChooseInboxNames(std::vector<PendingFile*>& files);
    bool WriteIntents(std::vector<PendingFile*>& files);
    void MoveIntoInboxes(std::vector<PendingFile*>& files);
    // The inboxes (and "TMP") to disk; a file whose folder failed is unsure.
    void SyncInboxes(std::vector<PendingFile*>& files);
    // The records, flushed, then the "delivered" marks; the journal's failure.
    std::string RecordAndMark(std::vector<PendingFile*>& files);
    int ReportDeliveries(std::vector<PendingFile*>& files, const std::string& journalError);

    // What became of a delivered file's remote copy.
    struct DeleteOutcome {
        PendingFile* file;
        bool changed = false; // replaced on the server: not deleted
        bool answered = false;
        std::exception_ptr failure;
    };
    void DeleteRemote(std::vector<PendingFile>& files);
    // The stamps now: files gone already or changed are answered; a lost
    // connection is kept in lost.
    std::vector<DeleteOutcome> CheckUnchanged(const std::vector<PendingFile*>& files,
                                              std::exception_ptr& lost);
    void SendDeletes(std::vector<DeleteOutcome>& outcomes, std::exception_ptr& lost);
    void ReportDeleteOutcomes(std::vector<DeleteOutcome>& outcomes);
    // The journal, then the lines, after a remote delete was answered
    // (failure null: deleted, or gone already).
    void MarkDeleted(PendingFile& file, const std::exception_ptr& failure);
    void ReportDeleted(PendingFile& file, const std::exception_ptr& failure);

    AppState& state_;
    const CycleSettings& settings_;
    RemoteSession& session_;
    TransferJournal& journal_;
    ReportOrder& order_;
    std::string tmpFolder_;
    std::vector<PendingFile> files_;
    std::set<std::string> tmpPaths_;
    int64_t bytes_ = 0;
};

} // namespace kv
