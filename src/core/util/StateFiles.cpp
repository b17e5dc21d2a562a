// The list of the program's own files in a program folder.
#include "util/StateFiles.h"

#include "util/Fs.h"
#include "util/Text.h"

namespace kv {

namespace {

struct StateRule {
    const char* pattern; // relative path, '*' and '?' allowed, letter case ignored
    const char* kind;
};

const StateRule kStateRules[] = {
    {kSettingsFileName, "the settings file"},
    {kSettingsBackupName, "the settings backup"},
    {kInstanceLockName, "the instance lock"},
    {kUpdateScriptName, "the update script"},
    {"update.old", "the copy of the applied update script"},
    {"KVRECV.JNL", "a transfer journal"},
    {"KVSEND.JNL", "a transfer journal"},
    {"KVinf.txt", "the client information file"},
    {kLogFolderName, "the log folder"},
    {"LOG/KVSYS*.LOG", "a log file"},
    {"LOG/KVTSF*.LOG", "a log file"},
    {"LOG/KVHISTORY.DB*", "the transfer history's index"},
    {"LOG/KVSTATUS.json", "the status of the last cycle"},
    {kTemporaryFolderName, "the temporary folder"},
    {"TMP/*", "a file in the temporary folder"},
    {kLanguageFolderName, "the language folder"},
    {"*.uTMP", "a working file of the upgrade"},
    {"*.uOLD", "a working file of the upgrade"},
    {kArrivedListName, "a working file of the upgrade"},
    {kReplaceJournalName, "a working file of the upgrade"},
    {kInstalledRecordName, "a working file of the upgrade"},
};

} // namespace

std::string StateFileKind(const std::string& relative) {
    std::string path = relative;
    while (StartsWith(path, "./"))
        path.erase(0, 2);
    for (const StateRule& rule : kStateRules) {
        // '*' must not run across folders: "*.uTMP" is a name in the folder itself.
        const std::string pattern = rule.pattern;
        if (pattern.find('/') == std::string::npos && path.find('/') != std::string::npos)
            continue;
        if (WildcardMatchNoCase(pattern, path))
            return rule.kind;
    }
    // The hidden names that replacements write under before they take their place.
    if (IsOwnTemporaryName(FileNameOf(path)))
        return "a file being written";
    return {};
}

} // namespace kv
