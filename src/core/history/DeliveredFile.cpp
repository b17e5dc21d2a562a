// Finding a transferred file of the history in the folders it went to.
#include "history/DeliveredFile.h"

#include "config/SettingsSnapshot.h"
#include "util/Encoding.h"
#include "util/Fs.h"

#include <algorithm>
#include <vector>

namespace kv {

namespace {

// The newest of name, name + "!", name + "!!", ... in folder.
std::string NewestUnder(const std::string& folder, const std::string& name) {
    std::string found;
    std::string candidate = name;
    for (int i = 0; i < 100 && !folder.empty(); ++i, candidate += "!") {
        const std::string path = JoinPath(folder, candidate);
        if (!FileExists(path))
            break;
        found = path;
    }
    return found;
}

} // namespace

std::string FindDeliveredFile(const std::string& iniPath, const TransferRecord& record) {
    if (record.name.empty() || record.name.find('/') != std::string::npos || record.name == "." ||
        record.name == "..")
        return "";
    const SettingsSnapshot file = SettingsSnapshot::ReadIfPresent(iniPath);
    std::vector<std::string> folders;
    if (record.direction == TransferDirection::Received) {
        folders.push_back(file.Text(keys::LocalInPath));
        for (int g = 1; g <= 9; ++g)
            folders.push_back(file.Text(keys::LocalInPath.Group(g)));
        folders.push_back(file.Text(keys::LocalExPath));
    } else {
        folders.push_back(file.Text(keys::LocalBackupPath));
    }
    for (const std::string& folder : folders) {
        if (folder.empty())
            continue;
        const std::string found = NewestUnder(folder, record.name);
        if (!found.empty())
            return found;
        // The record holds the name as shown (UTF-8); a name in another
        // encoding (not ASCII, then) is found by comparing it as shown.
        const bool ascii = std::all_of(record.name.begin(), record.name.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii)
            continue;
        for (const std::string& entry : ListFolder(folder, "*", true))
            if (ToDisplayUtf8(entry) == record.name && !IsValidUtf8(entry))
                return JoinPath(folder, entry);
    }
    return "";
}

} // namespace kv
