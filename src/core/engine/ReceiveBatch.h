#pragma once
// Downloaded files that are made durable in their inbox together: one flush
// of their data, one of the inbox folder and one of their journal entries
// serve the whole batch, and only then are their remote copies deleted. A
// crash at any instant leaves each file on the server, whole in the inbox, or
// both (its journal entry then keeps it from being delivered twice).
#include "edi/Classify.h"

#include <cstdint>
#include <exception>
#include <future>
#include <set>
#include <string>
#include <vector>

namespace kv {

struct AppState;
class IniFile;
class FtpSession;
class DeliveryJournal;

// One complete download waiting in "TMP".
struct PendingFile {
    std::string name, remotePath, tmpPath, inboxPath;
    int64_t size = 0;  // the server's SIZE answer (-1 without one)
    int64_t bytes = 0; // what arrived
    Classification found;
    std::string sha;                 // known at once for a small file,
    std::future<std::string> shaJob; // else made on the other core
    std::string why;                 // why it could not be delivered
    std::string journalError;
    bool delivered = false;
};

class ReceiveBatch {
public:
    ReceiveBatch(AppState& state, IniFile& ini, FtpSession& session, DeliveryJournal& journal,
                 std::string tmpFolder)
        : state_(state), ini_(ini), session_(session), journal_(journal),
          tmpFolder_(std::move(tmpFolder)) {}

    // A TMP or inbox path a file of the batch holds.
    bool Holds(const std::string& path) const { return paths_.count(path) != 0; }
    void Add(PendingFile file);
    // Enough waits to be worth a flush (count and bytes bounded).
    bool Full() const;
    // Delivers every waiting file durably into its inbox, then deletes each on
    // the server and logs it. Returns the number delivered. A DELE that loses
    // the connection is thrown once the files are delivered; the deletes of
    // the files after it are left for the next cycle. With deleteRemote false
    // (the cycle failed) only the delivery is done.
    int Finish(bool deleteRemote = true);

private:
    void MakeDataDurable();
    void DeliverAll();
    // The lines of a file whose DELE was answered (failure null: deleted).
    void LogDelete(PendingFile& file, const std::exception_ptr& failure);

    AppState& state_;
    IniFile& ini_;
    FtpSession& session_;
    DeliveryJournal& journal_;
    std::string tmpFolder_;
    std::vector<PendingFile> files_;
    std::set<std::string> paths_;
    int64_t bytes_ = 0;
};

} // namespace kv
