#include "engine/recovery/JournalRecovery.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "engine/cycle/CycleState.h"
#include "engine/journal/TransferJournal.h"
#include "engine/receive/ReceiveBatch.h"
#include "engine/send/OutboxHandle.h"
#include "engine/send/SendBatch.h"
#include "engine/send/SendUpload.h"
#include "logging/Logs.h"
#include "remote/RemoteSession.h"
#include "util/Fs.h"
#include "util/Sha256.h"
#include "util/Text.h"

#include <algorithm>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// A received file whose intent has no "delivered" mark. What goes from "TMP"
// goes only after the journal says why (tmpToRemove).
void FinishReceived(AppState& state, TransferJournal& journal, JournalEntry& e,
                    std::vector<std::string>& tmpToRemove) {
    const std::string& tmp = e.Get(recv::Tmp);
    const std::string& inbox = e.Get(recv::Inbox);
    if (e.Delivered()) {
        // A copy across file systems whose "TMP" original was not removed.
        if (!tmp.empty() && Exists(tmp))
            tmpToRemove.push_back(tmp);
        return;
    }
    if (tmp.empty())
        return;
    const bool inTmp = Exists(tmp);
    const bool inInbox = Exists(inbox) && (SameFile(tmp, inbox) || (inTmp && [&] {
                                               try {
                                                   return FileSha256(inbox) == e.Get(recv::Sha);
                                               } catch (...) {
                                                   // Unreadable: not known to be it.
                                                   return false;
                                               }
                                           }()));
    if (inTmp && !inInbox) {
        // Never reached the inbox: the server still has the file.
        journal.Mark(e, mark::Abandoned);
        tmpToRemove.push_back(tmp);
        return;
    }
    // Moved into the inbox (it left "TMP"), or copied and linked there.
    if (!inTmp && !Exists(inbox))
        ReportError(state, "File->" + e.Get(recv::Name) + " was being moved into the inbox as " +
                               inbox +
                               " when the program stopped, and neither that file nor its copy "
                               "in TMP is there now (taken by another program, or removed by "
                               "hand); it is taken as delivered and not delivered again!!!");
    if (!e.Get(recv::Record).empty())
        EnsureTransferRecord(state, e.Get(recv::Log), e.Number(recv::LogAt), e.Get(recv::Record));
    journal.Mark(e, mark::Delivered);
    if (inTmp)
        tmpToRemove.push_back(tmp);
}

// Whether the server holds anything under the name (an answer other than
// "no such file", or a time).
bool OnServer(const RemoteSession::Stamp& st) {
    return st.size >= 0 || !st.time.empty() || (!st.Missing() && st.sizeCode != 0);
}

// The outbox file of an entry when it is still the one that was sent.
std::unique_ptr<OutboxHandle> SameOutboxFile(const JournalEntry& e) {
    auto file = std::make_unique<OutboxHandle>(e.Get(send::Outbox));
    if (!file->Open() || IdentityOf(file->Now()) != e.Get(send::Identity))
        return nullptr;
    return file;
}

// Renames the whole upload of an entry into place under a free name. False
// (reported) when the server refused: the upload was removed then.
bool RenameNow(SendPass& p, JournalEntry& e) {
    const std::string& dest = e.Get(send::Dest);
    const std::string name = e.Get(send::Name);
    std::string final = e.Get(send::Final);
    std::string remote = FileNameOf(final);
    // Where the rename never replaces, its refusal tells a taken name.
    const bool renameTells = p.s->RenameKeepsExisting();
    while (!renameTells) {
        const RemoteSession::Stamp st = p.s->Stamps({final}).front();
        if (!RemoteNameTaken(p, final, st.size, st.sizeCode))
            break;
        NextRemoteName(remote, name, dest);
        final = dest + "/" + remote;
    }
    auto renaming = [&](const std::string& next) {
        // The rename may happen from here on: known to the journal first.
        p.journal.Mark(e, mark::Renaming, {{send::Final, dest + "/" + next}});
        p.journal.Flush();
    };
    renaming(remote);
    std::vector<std::exception_ptr> results;
    p.s->Rename({{e.Get(send::Tmp), final}}, results);
    std::exception_ptr refusal = results.empty() ? nullptr : results.front();
    if (refusal && renameTells)
        refusal = RenameUnderFreeName(p, e.Get(send::Tmp), name, dest, remote, renaming, refusal);
    if (!refusal)
        return true;
    try {
        std::rethrow_exception(refusal);
    } catch (...) {
        // ReportStepFailure reports the failure being handled, of any kind.
        ReportStepFailure(p, "Rename File Failed!!!->" + PrintableName(name));
    }
    p.journal.Mark(e, mark::Abandoned);
    p.journal.Flush();
    DeleteRemoteTemp(p, e.Get(send::Tmp));
    return false;
}

// A sent file whose sending was interrupted: finished from what the journal
// says was begun and what the server holds now.
void FinishSentEntry(SendPass& p, JournalEntry& e) {
    const std::string name = e.Get(send::Name);
    const std::string shown = PrintableName(name);
    const std::string& tmp = e.Get(send::Tmp);
    if (e.Step() == EntryStep::Intended) {
        // Never confirmed whole: what arrived is no use; the file goes again.
        if (!DeleteRemoteTemp(p, tmp) && p.s->Connected() && OnServer(p.s->Stamps({tmp}).front()))
            return; // stays open: removed next time, before the file goes again
        p.journal.Mark(e, mark::Abandoned);
        p.journal.Write();
        return;
    }
    const std::vector<RemoteSession::Stamp> now = p.s->Stamps({tmp, e.Get(send::Final)});
    const bool tmpThere = OnServer(now[0]);
    std::unique_ptr<OutboxHandle> file = SameOutboxFile(e);
    if (e.Step() == EntryStep::Renaming && !tmpThere) {
        // Renamed: the server carried it out, its answer was lost.
        ReportInfo(p.state, "File->" + shown + " Was Sent Before, Not Sent Again!");
        if (!OnServer(now[1]))
            ReportError(p.state, "The rename of " + tmp + " to " + e.Get(send::Final) +
                                     " was not confirmed and neither name is on the server "
                                     "now (the EDI centre may have taken it); " +
                                     shown + " is taken as sent and not sent again!!!");
    } else if (tmpThere && file &&
               (!p.binary || now[0].size < 0 || now[0].size == e.Number(send::Size))) {
        // Uploaded whole, not renamed: the rename is all that is left.
        ReportInfo(p.state, "File->" + shown + " Was Uploaded Before, Not Sent Again!");
        if (!RenameNow(p, e))
            return;
    } else {
        // Not whole on the server, or the file in the outbox is another one
        // now: the upload goes, the file (if any) is sent as a new one.
        if (tmpThere && !DeleteRemoteTemp(p, tmp))
            return;
        p.journal.Mark(e, mark::Abandoned);
        p.journal.Write();
        return;
    }
    if (file) {
        LeaveOutbox(p, *file, e.Get(send::Outbox), name, e.Get(send::Dated) == "1");
        SyncFolder(FolderOf(e.Get(send::Outbox)));
    }
    if (!e.Get(send::Record).empty())
        EnsureTransferRecord(p.state, e.Get(send::Log), e.Number(send::LogAt), e.Get(send::Record));
    p.journal.Mark(e, mark::Closed);
    p.journal.Write();
    ++p.state.Counts.SentFiles;
    p.state.Counts.SentBytes += std::max<int64_t>(0, e.Number(send::Size));
    ReportInfo(p.state, "Success Upload File->" + shown);
}

void FinishSent(AppState& state, const CycleSettings& settings, TransferJournal& journal,
                const std::vector<JournalEntry*>& entries) {
    SendPass p = MakeSendPass(state, settings, journal);
    for (JournalEntry* e : entries) {
        if (cycle::Stopping(state) || !p.s || !p.s->Connected())
            return;
        try {
            FinishSentEntry(p, *e);
        } catch (...) {
            // Left open: the next cycle tries again, and the file does not go
            // a second time meanwhile.
            ReportStepFailure(p, "Send Failed!!!");
        }
    }
}

} // namespace

void FinishInterrupted(AppState& state, const CycleSettings& settings, TransferJournal& journal,
                       RemoteSession* session) {
    std::vector<std::string> tmpToRemove;
    std::vector<JournalEntry*> sent;
    for (JournalEntry* e : journal.OpenEntries()) {
        // A received file is finished on this machine alone; what another
        // mailbox's server holds cannot be checked here, so a sent file of
        // another mailbox waits for a cycle of its own.
        if (!IsSendEntry(*e))
            FinishReceived(state, journal, *e, tmpToRemove);
        else if (e->OfMailbox(settings.mailbox))
            sent.push_back(e);
    }
    try {
        journal.Flush();
    } catch (const std::exception& ex) {
        ReportError(state, FirstCrLfToBlank(ex.what()) + "!!!");
        return; // nothing may go from "TMP" before the journal says why
    }
    for (const std::string& tmp : tmpToRemove)
        ::unlink(tmp.c_str());
    if (!sent.empty() && session)
        FinishSent(state, settings, journal, sent);
}

} // namespace kv
