// The files of an outbox folder that a send pass takes.
#include "engine/send/OutboxListing.h"

#include "util/Fs.h"

#include <sys/stat.h>

namespace kv {

std::vector<OutboxFile> ListOutbox(const std::string& folder) {
    std::vector<OutboxFile> files;
    for (std::string& name : ListFolder(folder, "*.*", true)) {
        std::string path = JoinPath(folder, name);
        struct stat st;
        if (!IsPlainWritableFile(path) || ::lstat(path.c_str(), &st) != 0)
            continue;
        files.push_back({std::move(name), static_cast<int64_t>(st.st_size)});
    }
    return files;
}

} // namespace kv
