#pragma once
// The receive cycle: every plain file of each configured remote folder is
// downloaded into "TMP", classified, delivered into its inbox under a name that
// replaces nothing, deleted on the server and logged.
#include <string>

namespace kv {

struct AppState;
class IniFile;

// Serves the main folder pair (Options/RemoteOutPath, Options/LocalInPath)
// and then pairs 1 to 9. Needs a logged-in session. A failure outside the
// per-file steps (directory query, size query, type switch, a hook's bad
// TimeInterval) ends the whole receive and is thrown to the caller.
// The journal of delivered files whose remote delete failed, in the program folder.
inline constexpr const char* kDeliveryJournalName = "KVRECV.JNL";

void ReceiveAll(AppState& state, IniFile& ini);
// Serves one pair; returns the number of files delivered into the inbox.
int ReceiveFolder(AppState& state, IniFile& ini, const std::string& remoteFolder,
                  const std::string& inboxFolder);

// The file name of a Unix long-listing line: the text after the eighth field,
// cut after its last "/". May contain blanks.
std::string ExtractListingName(const std::string& line);
// A listing name the cycle may use as a local file name: not empty, not "."
// or "..", no control character.
bool IsUsableListingName(const std::string& name);

// True when the file cannot be opened for reading and writing, or another
// process holds an advisory lock (flock or fcntl) on it.
bool IsFileLocked(const std::string& path);
// True when another process holds an advisory lock on the file (a file that
// cannot be opened at all is not counted here).
bool IsFileLockedByOther(const std::string& path);

// Puts the complete file tmpPath, its data flushed already, into the inbox
// as target, which must not exist: linked into place (or, across file
// systems, copied to a hidden name beside the target, flushed and linked), so
// the inbox shows the complete file or nothing. tmpPath stays; the folder is
// not flushed. False with the reason in why when it could not; the target
// then does not exist.
bool LinkIntoInbox(const std::string& tmpPath, const std::string& target, std::string& why);

} // namespace kv
