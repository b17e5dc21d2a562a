#pragma once
// A remote folder's listing as the transfer engine sees it, whatever the
// protocol: each entry's exact name bytes, its kind, its size and its
// modification time when the server told them.
#include <cstdint>
#include <string>
#include <vector>

namespace kv {

enum class RemoteKind { File, Folder, Link, Other };

struct RemoteEntry {
    std::string name; // the name's bytes exactly as the server has them
    RemoteKind kind = RemoteKind::Other;
    int64_t size = -1; // -1: the server did not tell (never a limit of 0)
    std::string time;  // UTC "YYYYMMDDHHMMSS"; empty: the server did not tell
};

struct RemoteListing {
    std::vector<RemoteEntry> entries;
    // For listings sent as text (FTP LIST): its lines, and how many of them
    // have no known format. Both 0 for listings with a structure of their own.
    size_t textLines = 0;
    size_t unknownLines = 0;
};

// Whether name matches pattern ('*', '?', '[...]') as a server's expansion
// would: a leading '.' is matched only by a '.' in the pattern.
bool MatchesListingPattern(const std::string& pattern, const std::string& name);

// The entries matching pattern first, then the others, each group in the
// server's order (an empty pattern matches every name).
void PatternFirst(std::vector<RemoteEntry>& entries, const std::string& pattern);

} // namespace kv
