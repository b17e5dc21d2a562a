#include "engine/Send.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "edi/Classify.h"
#include "edi/HeaderStamp.h"
#include "engine/CycleSupport.h"
#include "engine/Hooks.h"
#include "engine/Receive.h"
#include "ftp/FtpSession.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// Senders whose files go out whatever their content says.
bool IsPrivilegedSender(const std::string& sender) {
    return sender == "KESTRA" || sender == "MAXWARDEN" || sender == "CUSTOM";
}

// Longest remote name tried before the search for a free one gives up.
constexpr size_t kMaxRemoteName = 255;

struct Pass {
    AppState& state;
    IniFile& ini;
    std::shared_ptr<FtpSession> s;
    bool binary = false;
    int count = 0;
};

enum class DestCheck { Ok, CurrentDirFailed, DestMissing, TmpMissing };

DestCheck CheckDestination(Pass& p, const std::string& dest) {
    if (!p.s)
        return DestCheck::CurrentDirFailed;
    std::string saved;
    try {
        saved = p.s->RetrieveCurrentDir();
    } catch (...) {
        return DestCheck::CurrentDirFailed;
    }
    try {
        p.s->ChangeDir(dest);
        p.s->ChangeDir(saved);
    } catch (...) {
        return DestCheck::DestMissing;
    }
    try {
        p.s->ChangeDir("tmp");
        p.s->ChangeDirUp();
    } catch (...) {
        return DestCheck::TmpMissing;
    }
    return DestCheck::Ok;
}

// The local name, with "!" appended while a non-empty file of that name waits
// in "tmp" or in the destination folder.
std::string ChooseRemoteName(Pass& p, const std::string& name, const std::string& dest) {
    if (!p.binary)
        p.s->SetTransferType(TransferType::Binary);
    std::string remote = name;
    while (p.s->Size("tmp/" + remote) > 0 || p.s->Size(dest + "/" + remote) > 0) {
        remote += "!";
        if (remote.size() > kMaxRemoteName)
            throw FtpError("No free name for " + name + " in tmp and " + dest +
                           " on the server; clear old copies there");
    }
    if (!p.binary)
        p.s->SetTransferType(TransferType::Ascii);
    return remote;
}

void ReportStepFailure(Pass& p, const std::string& line) {
    std::string message = cycle::MessageOf(std::current_exception());
    ReportError(p.state, line);
    if (!message.empty())
        cycle::ReportFailure(p.state, p.ini, message);
}

// Upload to "tmp/" and rename into dest. True when the file is in place.
bool UploadAndRename(Pass& p, const std::string& path, const std::string& name,
                     const std::string& dest) {
    std::string remote;
    bool putStarted = false;
    try {
        remote = ChooseRemoteName(p, name, dest);
        putStarted = true;
        p.s->Put(path, "tmp/" + remote, false);
    } catch (...) {
        ReportStepFailure(p, "Send File Failed!!!->" + name);
        // What arrived of an interrupted upload is no use to anyone; the
        // local file stays and goes again next time.
        if (putStarted && p.s->Connected()) {
            try {
                p.s->Delete("tmp/" + remote);
            } catch (...) {
            }
        }
        return false;
    }
    try {
        p.s->Rename("tmp/" + remote, dest + "/" + remote);
    } catch (...) {
        ReportStepFailure(p, "Rename File Failed!!!->" + name);
        return false;
    }
    ++p.count;
    return true;
}

void DeleteLocal(Pass& p, const std::string& path, const std::string& name) {
    if (::unlink(path.c_str()) == 0)
        return;
    ReportError(p.state, "Delete File Failed!!!->" + name);
    if (IsFileLocked(path)) {
        ReportError(p.state, "File Locked!!!->" + name);
        cycle::SetRestartFlag(p.state, p.ini);
    }
}

// Copies a sent file into the backup folder (dated sub-folder in the normal
// pass). A failed copy is reported; the file is on the server all the same.
void Backup(Pass& p, const std::string& path, const std::string& name, bool dated) {
    std::string root = p.ini.ReadString("Options", "LocalBackupPath");
    if (root.empty())
        return;
    std::string folder = root;
    if (dated) {
        folder = BackupFolderName(p.state, root);
        if (!DirectoryExists(folder) && !ForceDirectories(folder)) {
            ReportMessage(p.state,
                          "Create Directory " + folder +
                              " Failed!!! Change To Create Default Directory.",
                          true, true);
            folder = root;
        }
    }
    try {
        CopyFileSafe(path, JoinPath(folder, name), true);
    } catch (const std::exception& e) {
        ReportError(p.state, "Backup File Failed!!!->" + name);
        ReportError(p.state, FirstCrLfToBlank(e.what()) + "!!!");
    }
}

// Copies a refused file into the error folder. False (reported) when that
// failed: the file must then stay in the outbox.
bool CopyToErrorFolder(Pass& p, const std::string& path, const std::string& name) {
    std::string folder = p.ini.ReadString("Options", "LocalErrPath");
    std::string why;
    if (folder.empty()) {
        why = "LocalErrPath is not set; set an error folder in the preferences";
    } else {
        try {
            CopyFileSafe(path, JoinPath(folder, name), true);
            return true;
        } catch (const std::exception& e) {
            why = FirstCrLfToBlank(e.what());
        }
    }
    ReportError(p.state, "Move File To Error Folder Failed!!!->" + name);
    ReportError(p.state, why + "!!!");
    return false;
}

// A file another program holds locked may still be being written.
bool SkipLocked(Pass& p, const std::string& path, const std::string& name) {
    if (!IsFileLockedByOther(path))
        return false;
    ReportError(p.state, "File Locked, Not Sent!!!->" + name);
    return true;
}

void WriteUploadRecord(Pass& p, const OutboxFile& f, const std::string& sender,
                       const std::string& receiver, const std::string& type) {
    WriteTransferRecord(p.state, "Upload File->" + f.Name + " FileSize:" + IntToStr(f.Size) +
                                     " Sender:" + sender + " Receiver:" + receiver +
                                     " Type:" + type);
}

// The CNC102 pass. True when SendFolder must end here.
bool Cnc102Pass(Pass& p) {
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
    for (const OutboxFile& f : ListOutbox(folder)) {
        const std::string path = JoinPath(folder, f.Name);
        try {
            if (SkipLocked(p, path, f.Name))
                continue;
            ReportInfo(p.state, "Start Upload File->" + f.Name);
            AddCnc102Header(p.state, path);
            if (!UploadAndRename(p, path, f.Name, dest))
                continue;
            Backup(p, path, f.Name, false);
            DeleteLocal(p, path, f.Name);
            WriteUploadRecord(p, f, sender, "CUSTOM", "CNC102(FLAT)");
            ReportInfo(p.state, "Success Upload File->" + f.Name);
        } catch (...) {
            // One file that cannot be stamped must not hold back the others.
            ReportStepFailure(p, "CNC102 Send Failed!!!");
        }
    }
    return false;
}

// The normal pass. True when SendFolder must end here.
bool NormalPass(Pass& p, const std::string& dest, const std::string& folder) {
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
    for (const OutboxFile& f : ListOutbox(folder)) {
        const std::string path = JoinPath(folder, f.Name);
        try {
            if (SkipLocked(p, path, f.Name))
                continue;
            Classification c = ClassifyFile(path, f.Name, Direction::Outgoing);
            if (!c.ok) {
                ReportError(p.state, "Open Local File ERROR!!!");
                continue;
            }
            if (c.type == "PREMFT(FLAT)") {
                SetFlatHeaderParties(p.state, path);
                c.sender = own;
                c.receiver = "TOLMA";
            }
            if (c.type.find("(EDIFACT)") != std::string::npos)
                UnwrapEdifact(path);
            bool maySend = true;
            if (!IsPrivilegedSender(own)) {
                maySend = c.sender == own;
                if (c.type.compare(0, 7, "UNKNOWN") == 0)
                    ReportError(p.state, f.Name + " " + LangMessage(p.state, "f02"), true);
                else if (!maySend)
                    ReportError(p.state, f.Name + " " + LangMessage(p.state, "f01"), true);
            }
            if (maySend) {
                ReportInfo(p.state, "Start Upload File->" + f.Name);
                if (!UploadAndRename(p, path, f.Name, dest))
                    continue;
                Backup(p, path, f.Name, true);
                WriteUploadRecord(p, f, c.sender, c.receiver, c.type);
                ReportInfo(p.state, "Success Upload File->" + f.Name);
            } else if (!CopyToErrorFolder(p, path, f.Name)) {
                continue;
            }
            DeleteLocal(p, path, f.Name);
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
    Pass p{state, ini, state.FtpSession, state.settings.BinaryTransfer(), 0};
    if (ini.ReadString("Options", "CNC102") == "1") {
        try {
            if (Cnc102Pass(p))
                return p.count;
        } catch (...) {
            ReportStepFailure(p, "CNC102 Send Failed!!!");
        }
    }
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
    for (int n = 0; n <= 9; ++n) {
        std::string suffix = n == 0 ? "" : IntToStr(n);
        std::string local = ini.ReadString("Options", "LocalOutPath" + suffix);
        std::string remote = ini.ReadString("Options", "RemoteInPath" + suffix);
        if (local.empty() || remote.empty())
            continue;
        ReportInfo(state, "Now Send To FTP Dir:" + remote);
        SendFolder(state, ini, remote, local);
    }
}

} // namespace kv
