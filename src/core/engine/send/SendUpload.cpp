// Uploading one outbox file: the checks of the remote folders, a free remote
// name (a remote file is never replaced) and the upload to "tmp".
#include "engine/send/SendUpload.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "engine/cycle/CycleReports.h"
#include "engine/cycle/CycleState.h"
#include "engine/send/OutboxHandle.h"
#include "logging/Logs.h"
#include "remote/RemoteSession.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

namespace kv {

namespace {

// True when a listing of that very name shows it (for a SIZE answer that
// says nothing: 502 "not implemented", 500).
bool ListingShows(SendPass& p, const std::string& remotePath) {
    std::vector<std::string> names;
    try {
        p.s->List(names, remotePath, false);
    } catch (const ProtocolReplyError& e) {
        if (e.Code() == 450 || e.Code() == 550)
            return false;
        throw;
    }
    return !names.empty();
}

bool AnyTaken(SendPass& p, const std::vector<std::string>& remotePaths,
              const std::vector<RemoteSession::SizeAnswer>& answers) {
    for (size_t i = 0; i < answers.size(); ++i)
        if (RemoteNameTaken(p, remotePaths[i], answers[i].size, answers[i].code))
            return true;
    return false;
}

// The local name, with "!" appended while that name is taken in "tmp" or in
// the destination folder. Sizes are asked in binary mode; the settings'
// transfer type comes back on every path.
std::string ChooseRemoteNameAscii(SendPass& p, const std::string& name, const std::string& dest) {
    p.s->SetTransferType(TransferType::Binary);
    std::string remote = name;
    try {
        for (;;) {
            const std::vector<std::string> names = NamesToCheck(remote, dest);
            if (!AnyTaken(p, names, p.s->Sizes(names)))
                break;
            NextRemoteName(remote, name, dest);
        }
    } catch (...) {
        // Later transfers must not run in binary because this check failed.
        if (p.s->Connected()) {
            try {
                p.s->SetTransferType(TransferType::Ascii);
            } catch (...) {
                // The check's own failure is the one that counts.
            }
        }
        throw;
    }
    p.s->SetTransferType(TransferType::Ascii);
    return remote;
}

} // namespace

bool RemoteNameTaken(SendPass& p, const std::string& remotePath, int64_t size, int code) {
    if (size >= 0)
        return true;
    return code != 550 && ListingShows(p, remotePath);
}

void NextRemoteName(std::string& remote, const std::string& name, const std::string& dest) {
    remote += "!";
    if (remote.size() > kMaxNameBytes)
        throw FtpError("No free name for " + PrintableName(name) + " in tmp and " + dest +
                       " on the server; clear old copies there");
}

void UploadUnderFreeName(SendPass& p, OutboxHandle& file, const std::string& name,
                         const std::string& dest, std::string& remote,
                         const std::function<void(const std::string&)>& beforeName) {
    remote = name;
    // Where the rename refuses to replace, the destination is not probed: the
    // rename itself tells (RenameUnderFreeName), and the upload's exclusive
    // create tells for "tmp"; no transfer type changes bytes there.
    const bool renameTells = p.s->RenameKeepsExisting();
    if (!p.binary && !renameTells) {
        const std::string chosen = ChooseRemoteNameAscii(p, name, dest);
        if (chosen != remote)
            beforeName(chosen);
        remote = chosen;
        p.s->Put(file.ReadPath(), "tmp/" + remote, false);
        return;
    }
    // The name checks travel with the upload's passive-mode command.
    for (;;) {
        const std::vector<std::string> names =
            renameTells ? std::vector<std::string>{"tmp/" + remote} : NamesToCheck(remote, dest);
        const std::vector<RemoteSession::SizeAnswer> answers =
            p.s->PutIfAbsent(file.ReadPath(), names[0], names);
        bool sent = true;
        for (const RemoteSession::SizeAnswer& a : answers)
            sent = sent && a.code == 550;
        if (sent)
            return;
        if (!AnyTaken(p, names, answers)) {
            p.s->Put(file.ReadPath(), names[0], false);
            return;
        }
        NextRemoteName(remote, name, dest);
        beforeName(remote);
    }
}

std::exception_ptr RenameUnderFreeName(SendPass& p, const std::string& tmpPath,
                                       const std::string& name, const std::string& dest,
                                       std::string& remote,
                                       const std::function<void(const std::string&)>& beforeName,
                                       std::exception_ptr refusal) {
    while (refusal) {
        // Refused for a reason other than a taken name: that refusal stands.
        const RemoteSession::Stamp st = p.s->Stamps({dest + "/" + remote}).front();
        if (st.size < 0 && st.time.empty() && (st.sizeCode == 550 || st.sizeCode == 0))
            return refusal;
        try {
            NextRemoteName(remote, name, dest);
        } catch (const FtpError&) {
            return std::current_exception();
        }
        beforeName(remote);
        try {
            p.s->Rename(tmpPath, dest + "/" + remote);
            refusal = nullptr;
        } catch (const ProtocolReplyError&) {
            refusal = std::current_exception();
        }
    }
    return nullptr;
}

SendPass MakeSendPass(AppState& state, const CycleSettings& settings, TransferJournal& journal,
                      std::set<std::string> unfinished) {
    return SendPass{state,
                    settings,
                    state.FtpSession,
                    journal,
                    settings.record.BinaryTransfer(),
                    0,
                    settings.backupPath,
                    settings.errPath,
                    std::move(unfinished)};
}

DestCheck CheckDestination(SendPass& p, const std::string& dest) {
    if (!p.s)
        return DestCheck::CurrentDirFailed;
    std::string saved;
    try {
        saved = p.s->RetrieveCurrentDir();
    } catch (...) {
        // Any failure of these queries is what the result names.
        return DestCheck::CurrentDirFailed;
    }
    try {
        p.s->ChangeDir(dest);
        p.s->ChangeDir(saved);
    } catch (...) {
        // Refused, of whatever cause: the destination is not usable.
        return DestCheck::DestMissing;
    }
    try {
        p.s->ChangeDir("tmp");
        p.s->ChangeDirUp();
    } catch (...) {
        // Refused, of whatever cause: the remote "tmp" is not usable.
        return DestCheck::TmpMissing;
    }
    return DestCheck::Ok;
}

std::vector<std::string> NamesToCheck(const std::string& remote, const std::string& dest) {
    return {"tmp/" + remote, dest + "/" + remote};
}

void ReportStepFailure(SendPass& p, const std::string& line) {
    std::string message = cycle::MessageOf(std::current_exception());
    ReportError(p.state, line);
    if (!message.empty())
        cycle::ReportFailure(p.state, message);
}

bool DeleteRemoteTemp(SendPass& p, const std::string& remoteTmpPath) {
    if (!p.s || !p.s->Connected())
        return false;
    try {
        p.s->Delete(remoteTmpPath);
        return true;
    } catch (const ProtocolReplyError& e) {
        return e.Code() == 550; // gone already
    } catch (...) {
        // Not removed now, of whatever cause: the journal keeps it for later.
        return false;
    }
}

std::string BackupFolderName(const AppState& state, const std::string& root) {
    std::time_t now = state.Now();
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, UpperCase(state.LogStep) == "DAY" ? "%Y%m%d" : "%Y%m", &tm);
    return JoinPath(root, buf);
}

} // namespace kv
