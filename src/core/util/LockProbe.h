#pragma once
// Whether another program may still be using a local file: the lock probes the
// receive cycle runs on leftovers in "TMP" and the send cycle on outbox files.
#include <string>

namespace kv {

// True when the file cannot be opened for reading and writing, or another
// process holds an advisory lock (flock or fcntl) on it.
bool IsFileLocked(const std::string& path);
// True when another process holds an advisory lock on the file (a file that
// cannot be opened at all is not counted here).
bool IsFileLockedByOther(const std::string& path);

} // namespace kv
