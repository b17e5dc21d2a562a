#pragma once
// Where a transferred file of the history is now: a received file in one of
// the inboxes (Options/LocalInPath, its extra groups, the CNC102 folder), a
// sent file in the backup folder's subfolder of its day or month, or in the
// backup folder itself. The name in the record is the name on the
// server; a file delivered under a name with "!" appended is found too.
#include "history/TransferRecord.h"

#include <string>

namespace kv {

// The file's full path, or "" when it is in none of those folders any more.
std::string FindDeliveredFile(const std::string& iniPath, const TransferRecord& record);

} // namespace kv
