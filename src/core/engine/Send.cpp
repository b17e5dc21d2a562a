// The send passes over each outbox folder: listing, local checks,
// classification and rewrites, the upload, and where each file goes after.
#include "engine/Send.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "edi/Classify.h"
#include "edi/HeaderStamp.h"
#include "engine/CycleSupport.h"
#include "engine/Hooks.h"
#include "engine/OutboxHandle.h"
#include "engine/Receive.h"
#include "engine/SendUpload.h"
#include "ftp/FtpSession.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// Senders whose files go out whatever their content says.
bool IsPrivilegedSender(const std::string& sender) {
    return sender == "KESTRA" || sender == "MAXWARDEN" || sender == "CUSTOM";
}

// The name checks of the file after files[i], when it is small enough to
// follow at once (a passive port asked ahead waits for it on the server).
std::vector<std::string> NextNamesToCheck(const SendPass& p, const std::vector<OutboxFile>& files,
                                          size_t i, const std::string& dest) {
    constexpr int64_t kAskAheadBytes = 1 << 20;
    if (!p.binary || i + 1 >= files.size() || files[i + 1].Size > kAskAheadBytes)
        return {};
    return NamesToCheck(files[i + 1].Name, dest);
}

void DeleteLocal(SendPass& p, const OutboxHandle& file, const std::string& path,
                 const std::string& name) {
    if (file.Unlink())
        return;
    ReportError(p.state, "Delete File Failed!!!->" + PrintableName(name));
    if (IsFileLocked(path)) {
        ReportError(p.state, "File Locked!!!->" + PrintableName(name));
        cycle::SetRestartFlag(p.state, p.ini);
    }
}

// The backup folder of a sent file (its dated sub-folder in the normal pass,
// made when missing); empty when no backups are kept.
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

// A sent file leaves the outbox: moved into the backup folder where that is
// one rename on the same file system, else copied there and deleted. A failed
// backup is reported; the file is on the server all the same.
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

// The files to send from folder. A folder the program cannot remove files
// from would send the same files at every pass: nothing is sent from it (false).
bool ListUsableOutbox(SendPass& p, const std::string& folder, std::vector<OutboxFile>& files) {
    files = ListOutbox(folder);
    if (files.empty() || ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
        return true;
    ReportError(p.state, "Cannot remove files from the outbox " + folder + " (" + ErrnoText(errno) +
                             "), so nothing is sent from it; give the program write access to "
                             "the folder!!!");
    return false;
}

void WriteUploadRecord(SendPass& p, const OutboxFile& f, const std::string& sender,
                       const std::string& receiver, const std::string& type) {
    WriteTransferRecord(p.state, "Upload File->" + PrintableName(f.Name) +
                                     " FileSize:" + IntToStr(f.Size) + " Sender:" + sender +
                                     " Receiver:" + receiver + " Type:" + type);
}

// The CNC102 pass. True when SendFolder must end here.
bool Cnc102Pass(SendPass& p) {
    std::string folder = p.ini.ReadString("Options", "LocalExPath");
    if (folder.empty()) {
        // An empty folder name must not send whatever another folder holds.
        ReportError(p.state, "CNC102 Send Refused: LocalExPath Is Empty!!!");
        return false;
    }
    std::string dest = p.ini.ReadString("Options", "RemoteExPath");
    if (dest.empty())
        dest = "in";
    switch (CheckDestination(p, dest)) {
    case DestCheck::Ok:
        break;
    case DestCheck::CurrentDirFailed:
        ReportError(p.state, " CNC102 Send Failed!!!!");
        return false;
    case DestCheck::DestMissing:
        ReportError(p.state, "RemoteExPath->" + dest + " Not Exist!!!");
        return true;
    case DestCheck::TmpMissing:
        ReportError(p.state, "RemoteTempPath Not Exist!!!");
        return true;
    }
    const std::string& sender = p.state.settings.FileSender;
    std::vector<OutboxFile> files;
    if (!ListUsableOutbox(p, folder, files))
        return false;
    for (const OutboxFile& f : files) {
        if (cycle::Stopping(p.state))
            break;
        const std::string path = JoinPath(folder, f.Name);
        try {
            if (SkipLocked(p, path, f.Name))
                continue;
            OutboxHandle file(path);
            OpenForCnc102(file, path);
            ReportInfo(p.state, "Start Upload File->" + PrintableName(f.Name));
            AddCnc102Header(p.state, path);
            OpenForCnc102(file, path);
            if (!UploadAndRename(p, file, f.Name, dest))
                continue;
            // On the server now: the local file leaves the outbox first.
            LeaveOutbox(p, file, path, f.Name, false);
            WriteUploadRecord(p, f, sender, "CUSTOM", "CNC102(FLAT)");
            ReportInfo(p.state, "Success Upload File->" + PrintableName(f.Name));
        } catch (...) {
            // One file that cannot be stamped must not hold back the others.
            ReportStepFailure(p, "CNC102 Send Failed!!!");
        }
    }
    return false;
}

// The normal pass. True when SendFolder must end here.
bool NormalPass(SendPass& p, const std::string& dest, const std::string& folder) {
    switch (CheckDestination(p, dest)) {
    case DestCheck::Ok:
        break;
    case DestCheck::CurrentDirFailed:
        ReportError(p.state, "Get RetrieveCurrentDir ERROR!!!");
        cycle::SetRestartFlag(p.state, p.ini);
        return true;
    case DestCheck::DestMissing:
        ReportError(p.state, "RemoteInPath->" + dest + " Not Exist!!!");
        return true;
    case DestCheck::TmpMissing:
        ReportError(p.state, "RemoteTempPath Not Exist!!!");
        return true;
    }
    const std::string& own = p.state.settings.FileSender;
    std::vector<OutboxFile> files;
    if (!ListUsableOutbox(p, folder, files))
        return false;
    for (size_t i = 0; i < files.size(); ++i) {
        const OutboxFile& f = files[i];
        if (cycle::Stopping(p.state))
            break;
        const std::string path = JoinPath(folder, f.Name);
        const std::string shown = PrintableName(f.Name);
        try {
            if (SkipLocked(p, path, f.Name))
                continue;
            OutboxHandle file(path);
            if (!OpenOutboxFile(p, file))
                continue;
            Classification c = ClassifyFile(file.ReadPath(), f.Name, Direction::Outgoing);
            if (!c.ok) {
                ReportError(p.state, "Open Local File ERROR!!!");
                continue;
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
            if (maySend) {
                // Only a file that goes out is rewritten: a refused one reaches
                // the error folder as it was.
                bool rewritten = false;
                if (c.type == "PREMFT(FLAT)")
                    rewritten = SetFlatHeaderParties(p.state, path);
                if (c.type.find("(EDIFACT)") != std::string::npos)
                    rewritten = UnwrapEdifact(path) || rewritten;
                if (rewritten && !OpenOutboxFile(p, file))
                    continue;
                ReportInfo(p.state, "Start Upload File->" + shown);
                if (!UploadAndRename(p, file, f.Name, dest, NextNamesToCheck(p, files, i, dest)))
                    continue;
                // On the server now: the local file leaves the outbox before
                // anything else is written.
                LeaveOutbox(p, file, path, f.Name, true);
                WriteUploadRecord(p, f, c.sender, c.receiver, c.type);
                ReportInfo(p.state, "Success Upload File->" + shown);
            } else if (CopyToErrorFolder(p, file, folder, f.Name)) {
                DeleteLocal(p, file, path, f.Name);
            }
        } catch (...) {
            // One file that cannot be rewritten must not hold back the others.
            ReportStepFailure(p, "Send Failed!!!");
        }
    }
    return false;
}

} // namespace

std::vector<OutboxFile> ListOutbox(const std::string& folder) {
    std::vector<OutboxFile> files;
    for (std::string& name : ListFolder(folder, "*.*", true)) {
        std::string path = JoinPath(folder, name);
        struct stat st;
        if (!IsPlainWritableFile(path) || ::lstat(path.c_str(), &st) != 0)
            continue;
        files.push_back({std::move(name), static_cast<int64_t>(st.st_size)});
    }
    return files;
}

std::string BackupFolderName(const AppState& state, const std::string& root) {
    std::time_t now = state.Now();
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, UpperCase(state.LogStep) == "DAY" ? "%Y%m%d" : "%Y%m", &tm);
    return JoinPath(root, buf);
}

int SendFolder(AppState& state, IniFile& ini, const std::string& remoteFolder,
               const std::string& localFolder) {
    RunHook(state, HookKind::BeforeSend);
    SendPass p{state,
               ini,
               state.FtpSession,
               state.settings.BinaryTransfer(),
               0,
               ini.ReadString("Options", "LocalBackupPath"),
               ini.ReadString("Options", "LocalErrPath")};
    if (ini.ReadString("Options", "CNC102") == "1") {
        try {
            if (Cnc102Pass(p))
                return p.count;
        } catch (...) {
            ReportStepFailure(p, "CNC102 Send Failed!!!");
        }
    }
    if (cycle::Stopping(state))
        return p.count;
    try {
        if (NormalPass(p, remoteFolder, localFolder))
            return p.count;
    } catch (...) {
        ReportStepFailure(p, "Send Failed!!!");
    }
    ReportInfo(state, "End Send!");
    if (p.count > 0)
        ReportInfo(state, "Total Send " + IntToStr(p.count) + " Files!", true);
    return p.count;
}

void SendAll(AppState& state, IniFile& ini) {
    ReportInfo(state, "Begin Send......");
    cycle::ForEachFolderPair(state, ini, "RemoteInPath", "LocalOutPath",
                             [&](const std::string& remote, const std::string& local) {
                                 ReportInfo(state, "Now Send To FTP Dir:" + remote);
                                 SendFolder(state, ini, remote, local);
                             });
}

} // namespace kv
