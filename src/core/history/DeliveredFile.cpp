// Finding a transferred file of the history in the folders it went to.
#include "history/DeliveredFile.h"

#include "config/SettingsSnapshot.h"
#include "util/Encoding.h"
#include "util/Fs.h"

#include <algorithm>
#include <ctime>
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

// The backup folders a file sent at `time` (yyyymmddhhmmss, local) may be
// in: the send backs it up into a subfolder of the day (Options/LogStep
// DAY) or of the month, named when the backup was made, which may be the
// next day or month for a file sent just before midnight; the root for a
// backup without dated folders.
std::vector<std::string> BackupFolders(const std::string& root, int64_t time) {
    if (root.empty())
        return {};
    std::tm tm{};
    tm.tm_year = static_cast<int>(time / 10000000000) - 1900;
    tm.tm_mon = static_cast<int>(time / 100000000 % 100) - 1;
    tm.tm_mday = static_cast<int>(time / 1000000 % 100);
    tm.tm_hour = 12;
    std::vector<std::string> folders;
    for (int extraDay = 0; extraDay < 2; ++extraDay) {
        std::tm day = tm;
        day.tm_mday += extraDay;
        if (std::mktime(&day) == static_cast<std::time_t>(-1))
            continue;
        char name[16];
        for (const char* format : {"%Y%m%d", "%Y%m"}) {
            std::strftime(name, sizeof name, format, &day);
            const std::string folder = JoinPath(root, name);
            if (std::find(folders.begin(), folders.end(), folder) == folders.end())
                folders.push_back(folder);
        }
    }
    folders.push_back(root);
    return folders;
}

} // namespace

std::string FindDeliveredFile(const std::string& iniPath, const TransferRecord& record) {
    if (record.name.empty() || record.name.find('/') != std::string::npos || record.name == "." ||
        record.name == "..")
        return "";
    const SettingsSnapshot file = SettingsSnapshot::ReadIfPresent(iniPath);
    // Relative folder settings are inside the program folder, whatever the
    // current folder of the process asking.
    const std::string programDir = FolderOf(iniPath);
    auto folderOf = [&](const SettingKey& key) {
        return FolderInProgram(programDir, file.Text(key));
    };
    std::vector<std::string> folders;
    if (record.direction == TransferDirection::Received) {
        folders.push_back(folderOf(keys::LocalInPath));
        for (int g = 1; g <= 9; ++g)
            folders.push_back(folderOf(keys::LocalInPath.Group(g)));
        folders.push_back(folderOf(keys::LocalExPath));
    } else {
        folders = BackupFolders(folderOf(keys::LocalBackupPath), record.time);
    }
    for (const std::string& folder : folders) {
        if (folder.empty() || !DirectoryExists(folder))
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
