// Uploading one outbox file: the checks of the remote folders, a free remote
// name (a remote file is never replaced), the upload through "tmp" and the
// rename into place.
#include "engine/SendUpload.h"

#include "app/AppState.h"
#include "engine/CycleSupport.h"
#include "engine/OutboxHandle.h"
#include "ftp/FtpSession.h"
#include "logging/Logs.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <sys/stat.h>

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

// True when the server holds anything under one of the names, an empty file
// included. A SIZE answer other than 213 or 550 says nothing, and a listing
// of that name decides then.
bool RemoteNamesTaken(SendPass& p, const std::vector<std::string>& remotePaths,
                      const std::vector<FtpSession::SizeAnswer>& answers) {
    for (size_t i = 0; i < answers.size(); ++i) {
        if (answers[i].size >= 0)
            return true;
        if (answers[i].code != 550 && ListingShows(p, remotePaths[i]))
            return true;
    }
    return false;
}

// The next name to try when remote is taken.
void NextRemoteName(std::string& remote, const std::string& name, const std::string& dest) {
    remote += "!";
    if (remote.size() > kMaxNameBytes)
        throw FtpError("No free name for " + PrintableName(name) + " in tmp and " + dest +
                       " on the server; clear old copies there");
}

// The local name, with "!" appended while that name is taken in "tmp" or in
// the destination folder: a remote file is never replaced. Sizes are asked
// in binary mode; the settings' transfer type comes back on every path.
std::string ChooseRemoteNameAscii(SendPass& p, const std::string& name, const std::string& dest) {
    p.s->SetTransferType(TransferType::Binary);
    std::string remote = name;
    try {
        for (;;) {
            const std::vector<std::string> names = NamesToCheck(remote, dest);
            if (!RemoteNamesTaken(p, names, p.s->Sizes(names)))
                break;
            NextRemoteName(remote, name, dest);
        }
    } catch (...) {
        if (p.s->Connected()) {
            try {
                p.s->SetTransferType(TransferType::Ascii);
            } catch (...) {
            }
        }
        throw;
    }
    p.s->SetTransferType(TransferType::Ascii);
    return remote;
}

// Uploads the file as "tmp/" + remote, remote being the local name with "!"
// appended while that name is taken in "tmp" or in dest: a remote file is
// never replaced. In binary mode the name checks travel with the upload's
// passive-mode command. remote names the attempt under way.
void UploadUnderFreeName(SendPass& p, OutboxHandle& file, const std::string& name,
                         const std::string& dest, std::string& remote) {
    remote = name;
    if (!p.binary) {
        remote = ChooseRemoteNameAscii(p, name, dest);
        p.s->Put(file.ReadPath(), "tmp/" + remote, false);
        return;
    }
    for (;;) {
        const std::vector<std::string> names = NamesToCheck(remote, dest);
        const std::vector<FtpSession::SizeAnswer> answers =
            p.s->PutIfAbsent(file.ReadPath(), names[0], names);
        bool sent = true;
        for (const FtpSession::SizeAnswer& a : answers)
            sent = sent && a.code == 550;
        if (sent)
            return;
        if (!RemoteNamesTaken(p, names, answers)) {
            p.s->Put(file.ReadPath(), names[0], false);
            return;
        }
        NextRemoteName(remote, name, dest);
    }
}

// Removes our temporary upload; a failure leaves a copy nobody renames.
void DeleteRemoteTemp(SendPass& p, const std::string& remote) {
    if (!p.s->Connected())
        return;
    try {
        p.s->Delete("tmp/" + remote);
    } catch (...) {
    }
}

} // namespace

DestCheck CheckDestination(SendPass& p, const std::string& dest) {
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

std::vector<std::string> NamesToCheck(const std::string& remote, const std::string& dest) {
    return {"tmp/" + remote, dest + "/" + remote};
}

void ReportStepFailure(SendPass& p, const std::string& line) {
    std::string message = cycle::MessageOf(std::current_exception());
    ReportError(p.state, line);
    if (!message.empty())
        cycle::ReportFailure(p.state, p.ini, message);
}

bool UploadAndRename(SendPass& p, OutboxHandle& file, const std::string& name,
                     const std::string& dest, const std::vector<std::string>& nextNames) {
    const std::string shown = PrintableName(name);
    std::string remote;
    const int64_t startedBefore = p.state.TransfersStarted;
    const struct stat before = file.Now();
    try {
        UploadUnderFreeName(p, file, name, dest, remote);
    } catch (...) {
        ReportStepFailure(p, "Send File Failed!!!->" + shown);
        // What arrived of an interrupted upload is no use to anyone; the
        // local file stays and goes again next time. A name the server never
        // took our bytes for (STOR or PASV refused) may be someone else's.
        if (p.state.TransfersStarted > startedBefore)
            DeleteRemoteTemp(p, remote);
        return false;
    }
    if (!file.Unchanged(before)) {
        // Still being written: what went out may be short.
        DeleteRemoteTemp(p, remote);
        ReportError(p.state, "Send File Failed!!!->" + shown);
        ReportError(p.state, "The file " + shown +
                                 " changed while it was sent; it stays in the outbox and goes "
                                 "in a later pass!!!");
        return false;
    }
    try {
        p.s->Rename("tmp/" + remote, dest + "/" + remote, nextNames);
    } catch (...) {
        ReportStepFailure(p, "Rename File Failed!!!->" + shown);
        DeleteRemoteTemp(p, remote);
        return false;
    }
    ++p.count;
    return true;
}

} // namespace kv
