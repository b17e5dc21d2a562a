#pragma once
// Puts a complete received file from "TMP" into its inbox under a name that
// replaces nothing, so that the inbox shows the whole file or nothing, and
// removes what a crash may have left of such a step.
#include <string>

namespace kv {

enum class Delivery {
    Moved,  // renamed into place: "TMP" no longer holds it
    Copied, // another file system: a flushed copy took the name; tmpPath stays
    Taken,  // the target name exists: nothing changed (take another name)
    Failed, // nothing changed; why says what went wrong
};

// Moves tmpPath, flushed already, to target. On the same file system one
// rename that never replaces (RENAME_NOREPLACE; a link and an unlink where the
// file system cannot do that); across file systems an unnamed copy in the
// target's folder (O_TMPFILE), flushed and linked into place, or where that is
// not possible a hidden copy under a name no listing can produce. The folder
// is not flushed here.
Delivery DeliverIntoInbox(const std::string& tmpPath, const std::string& target, std::string& why);

// The hidden names of those copies: the start of the file name, 16 hex digits,
// and a control character no remote name can hold.
bool IsInboxCopyName(const std::string& name);
// Removes what a crash left of such copies from folder; the count removed.
int RemoveInboxCopies(const std::string& folder);

} // namespace kv
