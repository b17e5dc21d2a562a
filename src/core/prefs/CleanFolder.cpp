// The cleaning dialog's work: the ticked folders and the old logs.
#include "prefs/CleanFolder.h"

#include "logging/Logs.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <fcntl.h>
#include <unistd.h>

namespace kv {

namespace {

const char* const kBoxes[] = {"CheckBox1", "CheckBox2", "CheckBox3", "CheckBox4",
                              "CheckBox5", "CheckBox6", "CheckBox7"};

struct LogKindInfo {
    LogKind kind;
    int box; // index into kBoxes
    const char* prefix;
    bool followsLogStep;
};

const LogKindInfo kLogKinds[] = {{LogKind::System, 3, "KVSYS", true},
                                 {LogKind::Transfer, 4, "KVTSF", true},
                                 {LogKind::Tray, 5, "KVTRAY", false},
                                 {LogKind::Service, 6, "KVSRV", false}};

const LogKindInfo& InfoOf(LogKind kind) {
    for (const LogKindInfo& info : kLogKinds)
        if (info.kind == kind)
            return info;
    return kLogKinds[0];
}

} // namespace

std::string CurrentLogName(LogKind kind, const std::string& logStep, std::time_t now) {
    const LogKindInfo& info = InfoOf(kind);
    return std::string(info.prefix) + LogDatePart(info.followsLogStep ? logStep : "Month", now) +
           ".LOG";
}

CleanFolderModel::CleanFolderModel(std::string iniPath, std::string packPath,
                                   std::string programDir, std::string logStepInUse,
                                   std::string executableFolder)
    : DialogModel(std::move(iniPath), std::move(packPath)), programDir_(std::move(programDir)),
      logStepInUse_(std::move(logStepInUse)), executableFolder_(std::move(executableFolder)) {
    if (executableFolder_.empty())
        executableFolder_ = FolderOf(RunningExecutablePath());
    for (const char* box : kBoxes)
        Add(box, ControlKind::CheckBox);
    Add("Btn_Clean", ControlKind::Button);
    Add("Btn_Exit", ControlKind::Button);
}

void CleanFolderModel::CleanFolderSetting(const SettingKey& key, const FolderGuard& guard,
                                          CleanContext& ctx) {
    std::string folder = FolderInProgram(programDir_, Read(key));
    if (folder.empty())
        return;
    std::string why = guard.Refusal(folder, key, ctx);
    if (!why.empty()) {
        Say("f09", PackText("f09", "This folder was not emptied:") + " " + folder + " (" +
                       key.Path() + ": " + why +
                       "). Set a folder of its own for it in the preferences.");
        return;
    }
    ctx.left.clear();
    EmptyDirectory(folder, true, ctx);
    if (!ctx.left.empty()) {
        std::string list;
        for (const std::string& note : ctx.left)
            list += "\n" + note;
        Say("f09", "Some folders inside " + folder + " (" + key.Path() + ") were kept:" + list);
    }
}

void CleanFolderModel::CleanLogs(LogKind kind, const std::string& logStep, std::time_t now,
                                 CleanContext& ctx) {
    const LogKindInfo& info = InfoOf(kind);
    std::string current = CurrentLogName(kind, logStep, now);
    std::string inUse = CurrentLogName(kind, logStepInUse_, now);
    std::string folder = JoinPath(programDir_, "LOG");
    int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    for (const std::string& name : ListFolder(folder, std::string(info.prefix) + "*.LOG", true)) {
        ctx.Tick();
        if (name == current || name == inUse || name[0] == '.')
            continue;
        struct stat st;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (MayDeleteFile(dirFd, name.c_str(), st, ctx.busy) &&
            ::unlinkat(dirFd, name.c_str(), 0) == 0)
            ++ctx.removed;
    }
    ::close(dirFd);
}

void CleanFolderModel::Clean(std::time_t now, Host* host,
                             std::function<void(uint64_t entriesDone)> progress) {
    if (running_)
        return;
    bool ticked[7];
    bool any = false;
    for (int i = 0; i < 7; ++i)
        any |= ticked[i] = Checked(kBoxes[i]);
    running_ = true;
    std::vector<bool> wasEnabled;
    for (const Control& c : Controls())
        wasEnabled.push_back(c.enabled);
    for (const Control& c : Controls())
        At(c.name).enabled = false;

    CleanContext ctx;
    ctx.host = host;
    ctx.progress = std::move(progress);
    BusyFiles busy;
    if (any) {
        busy = BusyFiles::Scan();
        ctx.busy = &busy;
    }
    std::string logStep = UpperCase(Read(keys::LogStep));
    if (ticked[0] || ticked[1] || ticked[2]) {
        std::vector<WorkFolder> workFolders;
        for (const WorkFolderKey& k : WorkFolderKeys())
            if (std::string value = Read(k.key); !value.empty())
                workFolders.push_back({k.key, value});
        const FolderGuard guard(programDir_, workFolders, executableFolder_);
        if (ticked[0])
            CleanFolderSetting(keys::LocalBackupPath, guard, ctx);
        if (ticked[1])
            CleanFolderSetting(keys::LocalErrPath, guard, ctx);
        if (ticked[2]) {
            CleanFolderSetting(keys::LocalInPath, guard, ctx);
            for (int n = 1; n <= 9; ++n)
                CleanFolderSetting(keys::LocalInPath.Group(n), guard, ctx);
        }
    }
    for (const LogKindInfo& info : kLogKinds)
        if (ticked[info.box])
            CleanLogs(info.kind, logStep, now, ctx);

    removed_ = ctx.removed;
    size_t i = 0;
    for (const Control& c : Controls())
        At(c.name).enabled = wasEnabled[i++];
    running_ = false;
}

} // namespace kv
