#pragma once
// Clean Folder and LOG File (window "FormCleanFolder", class
// TFormCleanFolder): the user ticks what to clean and presses Clean; the
// work runs at once, without confirmation and without a report.
//
// Controls, in layout and tab order (object name: kind, caption; action):
//   CheckBox1   check "Clean Backup Folder"      empty Options/LocalBackupPath
//   CheckBox2   check "Clean Error Folder"       empty Options/LocalErrPath
//   CheckBox3   check "Clean Inbox Folder"       empty Options/LocalInPath and
//                                                Options/LocalInPath1..9 that are set
//   CheckBox4   check "Clean System Log File"    old LOG/KVSYS*.LOG
//   CheckBox5   check "Clean Transfer Log File"  old LOG/KVTSF*.LOG
//   CheckBox6   check "Clean KVTray Log File"    old LOG/KVTRAY*.LOG
//   CheckBox7   check "Clean Ostrel Log File"    old LOG/KVSRV*.LOG
//   Btn_Clean   "&Clean": Clean()
//   Btn_Exit    "&Exit", default and cancel button: close (not while Running())
// The check boxes lie on Panel1, the buttons below it.
//
// Old logs: every plain writable file of the kind's pattern (letter case
// ignored) but the current one, "KVSYS"/"KVTSF" + yyyymmdd or yyyymm (daily
// when System/LogStep upper-cased is "DAY") + ".LOG", and "KVTRAY"/"KVSRV"
// + yyyymm + ".LOG" (always monthly); read-only logs and logs another program
// is writing stay. The running program keeps writing the files of the
// LogStep it started with until it starts again, so today's files of that
// step stay too.
//
// Folders: EmptyDirectory (recursive) with its rules. A folder setting that
// FolderGuard refuses (FolderRefusal.h: homes, the program and executable
// folders and the program's own folders, folders that also hold mail, mount
// points, folders holding any of these, all compared by device and inode) is
// not emptied; a message (code "f09") names it, its key and the rule. What the
// emptying itself left on purpose (a mount point met on the way, a folder too
// deep) is said in one message per folder.
#include "prefs/DialogModel.h"
#include "prefs/EmptyDirectory.h"
#include "prefs/FolderRefusal.h"

#include <ctime>

namespace kv {

class Host;

enum class LogKind { System, Transfer, Tray, Service };

// The current log name of a kind (never deleted), e.g. "KVSYS202612.LOG".
std::string CurrentLogName(LogKind kind, const std::string& logStep, std::time_t now);

class CleanFolderModel : public DialogModel {
public:
    static constexpr const char* kWindowName = "FormCleanFolder";

    // logStepInUse: the LogStep the running program opens its logs with (read
    // at its start), which may differ from the setting changed since.
    // executableFolder: the running executable's folder, never emptied ("":
    // the folder of this process's executable).
    CleanFolderModel(std::string iniPath, std::string packPath, std::string programDir,
                     std::string logStepInUse, std::string executableFolder = {});

    // Btn_Clean: cleans what is ticked, with now as today. While it runs the
    // controls are disabled and Running() is true; host's idle pump and
    // progress (entries looked at so far) are called every 128 entries
    // and at least every 25 ms. Refused folders queue a message each.
    void Clean(std::time_t now, Host* host,
               std::function<void(uint64_t entriesDone)> progress = nullptr);
    bool Running() const { return running_; }
    // What the last Clean removed (files, links and folders), for tests and
    // a status line; the dialog itself reports nothing.
    uint64_t Removed() const { return removed_; }

private:
    void CleanFolderSetting(const SettingKey& key, const FolderGuard& guard, CleanContext& ctx);
    void CleanLogs(LogKind kind, const std::string& logStep, std::time_t now, CleanContext& ctx);

    std::string programDir_;
    std::string logStepInUse_;
    std::string executableFolder_;
    bool running_ = false;
    uint64_t removed_ = 0;
};

} // namespace kv
