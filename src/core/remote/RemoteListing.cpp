// The listing patterns shared by the FTP and SFTP sessions.
#include "remote/RemoteListing.h"

#include <algorithm>
#include <fnmatch.h>

namespace kv {

bool MatchesListingPattern(const std::string& pattern, const std::string& name) {
    return pattern.empty() || ::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
}

void PatternFirst(std::vector<RemoteEntry>& entries, const std::string& pattern) {
    std::stable_partition(entries.begin(), entries.end(), [&](const RemoteEntry& e) {
        return MatchesListingPattern(pattern, e.name);
    });
}

} // namespace kv
