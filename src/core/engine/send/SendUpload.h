#pragma once
// Uploading one outbox file: the checks of the remote folders, a free remote
// name (a remote file is never replaced) and the upload to "tmp". Shared by the
// passes of the send cycle and by the finishing of interrupted sends.
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kv {

struct AppState;
struct CycleSettings;
class RemoteSession;
class OutboxHandle;
class TransferJournal;

// One pass over an outbox folder.
struct SendPass {
    AppState& state;
    const CycleSettings& settings;
    std::shared_ptr<RemoteSession> s;
    TransferJournal& journal;
    bool binary = false;
    int count = 0; // files sent
    // Read once for the pass, not for every file.
    std::string backupRoot;  // Options/LocalBackupPath
    std::string errorFolder; // Options/LocalErrPath
    // Outbox files whose earlier sending is not finished: left alone.
    std::set<std::string> unfinished;
};

// A pass over the session the cycle works on, with the folders read now.
SendPass MakeSendPass(AppState& state, const CycleSettings& settings, TransferJournal& journal,
                      std::set<std::string> unfinished = {});

enum class DestCheck { Ok, CurrentDirFailed, DestMissing, TmpMissing };

// Whether the current folder, dest and "tmp" can be entered on the server.
DestCheck CheckDestination(SendPass& p, const std::string& dest);
// The names an upload of remote must find free: in "tmp" and in dest.
std::vector<std::string> NamesToCheck(const std::string& remote, const std::string& dest);
// Reports line, then the reason of the exception being handled (if any).
void ReportStepFailure(SendPass& p, const std::string& line);
// Uploads the file as "tmp/" + remote, remote being name with "!" appended
// while that name is taken in "tmp" or in dest. Before a name other than the
// one tried first is used, beforeName(remote) is called (it may throw to stop).
// remote names the attempt under way, also when this throws.
void UploadUnderFreeName(SendPass& p, OutboxHandle& file, const std::string& name,
                         const std::string& dest, std::string& remote,
                         const std::function<void(const std::string&)>& beforeName);
// After a refused rename of tmpPath to dest + "/" + remote on a session whose
// rename never replaces (RemoteSession::RenameKeepsExisting): while the name
// is taken in dest, the next "!" name is tried, beforeName(remote) being
// called first (the journal learns it). Returns the refusal that stands, or
// null once renamed (remote then names the file in dest); throws what ends
// the session.
std::exception_ptr RenameUnderFreeName(SendPass& p, const std::string& tmpPath,
                                       const std::string& name, const std::string& dest,
                                       std::string& remote,
                                       const std::function<void(const std::string&)>& beforeName,
                                       std::exception_ptr refusal);
// The next name to try when remote is taken.
void NextRemoteName(std::string& remote, const std::string& name, const std::string& dest);
// True when the server holds anything under one of the names (see SIZE
// answers; one that says nothing is settled by a listing of that name).
bool RemoteNameTaken(SendPass& p, const std::string& remotePath, int64_t size, int code);
// Removes a temporary upload; false when it could not be removed.
bool DeleteRemoteTemp(SendPass& p, const std::string& remoteTmpPath);

// The dated backup folder: root + "/" + yyyymmdd when LogStep is "DAY" (any
// letter case), else root + "/" + yyyymm, for the current local date.
std::string BackupFolderName(const AppState& state, const std::string& root);

} // namespace kv
