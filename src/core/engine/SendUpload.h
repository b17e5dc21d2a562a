#pragma once
// Uploading one outbox file: the checks of the remote folders, a free remote
// name (a remote file is never replaced), the upload through "tmp" and the
// rename into place. Shared by the passes of the send cycle.
#include <memory>
#include <string>
#include <vector>

namespace kv {

struct AppState;
class IniFile;
class FtpSession;
class OutboxHandle;

// One pass over an outbox folder.
struct SendPass {
    AppState& state;
    IniFile& ini;
    std::shared_ptr<FtpSession> s;
    bool binary = false;
    int count = 0; // files sent
    // Read once for the pass, not for every file.
    std::string backupRoot;  // Options/LocalBackupPath
    std::string errorFolder; // Options/LocalErrPath
};

enum class DestCheck { Ok, CurrentDirFailed, DestMissing, TmpMissing };

// Whether the current folder, dest and "tmp" can be entered on the server.
DestCheck CheckDestination(SendPass& p, const std::string& dest);
// The names an upload of remote must find free: in "tmp" and in dest.
std::vector<std::string> NamesToCheck(const std::string& remote, const std::string& dest);
// Reports line, then the reason of the exception being handled (if any).
void ReportStepFailure(SendPass& p, const std::string& line);
// Upload to "tmp/" and rename into dest. True when the file is in place.
// nextNames: the name checks of the file likely to go next, asked with the
// rename so that the server answers them while this file is finished.
bool UploadAndRename(SendPass& p, OutboxHandle& file, const std::string& name,
                     const std::string& dest, const std::vector<std::string>& nextNames = {});

} // namespace kv
