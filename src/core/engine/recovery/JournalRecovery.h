#pragma once
// Finishing what an interrupted cycle left: one routine for the journals of
// both directions, run before a receive or send begins its folders. Every step
// it takes is one the interrupted cycle would have taken, chosen from what
// the journal says was begun and what is found on disk and on the server, so
// that running it again (after another crash) does no step twice.
namespace kv {

struct AppState;
struct CycleSettings;
class RemoteSession;
class TransferJournal;

// Receive entries need no session: a file found in the inbox is delivered
// (its record is made sure of), one still in "TMP" was not (the copy goes;
// the server still has the file). Their remote copies are deleted when the
// listing shows them again with the same bytes. Send entries need the
// session: an upload confirmed whole is renamed into place, a rename that
// may have happened is settled by looking at the server, and a file on the
// server leaves the outbox with its record.
void FinishInterrupted(AppState& state, const CycleSettings& settings, TransferJournal& journal,
                       RemoteSession* session);

} // namespace kv
