// The receive and send passes of a cycle over every configured folder pair.
#include "engine/TransferPasses.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "engine/cycle/CycleState.h"
#include "engine/journal/TransferJournal.h"
#include "engine/receive/ReceiveFolder.h"
#include "engine/recovery/JournalRecovery.h"
#include "engine/send/SendFolder.h"
#include "logging/Logs.h"
#include "remote/RemoteSession.h"
#include "util/Text.h"

#include <set>
#include <string>

namespace kv {

void ReceiveAll(AppState& state, const CycleSettings& settings) {
    ReportInfo(state, "Begin Receive......");
    TransferJournal journal(state.PathInProgramDir(kReceiveJournalName));
    FinishInterrupted(state, settings, journal, nullptr);
    for (const FolderPair& pair : settings.receivePairs) {
        if (cycle::Stopping(state))
            break;
        ReportInfo(state, "Now Receive From FTP Dir:" + pair.remote);
        ReceiveFolder(state, settings, journal, pair.remote, pair.local);
    }
    journal.Compact();
}

void SendAll(AppState& state, const CycleSettings& settings) {
    ReportInfo(state, "Begin Send......");
    std::shared_ptr<RemoteSession> s = cycle::RequireSession(state);
    TransferJournal journal(state.PathInProgramDir(kSendJournalName));
    FinishInterrupted(state, settings, journal, s.get());
    // Files whose earlier sending could not be finished now wait for a later
    // cycle: sending them again could put them on the server twice.
    std::set<std::string> unfinished;
    for (JournalEntry* e : journal.OpenEntries()) {
        unfinished.insert(e->Get(send::Outbox));
        if (!e->OfMailbox(settings.mailbox))
            ReportError(state, "File->" + PrintableName(e->Get(send::Name)) +
                                   " was being sent to " + e->Get(send::Mailbox) +
                                   " and stays in the outbox until that mailbox is served "
                                   "again!!!");
    }
    for (const FolderPair& pair : settings.sendPairs) {
        if (cycle::Stopping(state))
            break;
        ReportInfo(state, "Now Send To FTP Dir:" + pair.remote);
        SendFolder(state, settings, journal, unfinished, pair.remote, pair.local);
    }
    journal.Compact();
}

} // namespace kv
