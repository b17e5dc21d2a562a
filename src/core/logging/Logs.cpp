#include "logging/Logs.h"

#include "app/AppState.h"
#include "logging/ReportOrder.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

LogFiles::~LogFiles() {
    if (sysFd >= 0)
        ::close(sysFd);
    if (transferFd >= 0)
        ::close(transferFd);
}

std::string TimeStamp(std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &tm);
    return buf;
}

std::string_view LineBody(std::string_view line) {
    if (line.size() >= 20 && line[4] == '-' && line[7] == '-' && line[10] == ' ' &&
        line[13] == ':' && line[16] == ':' && line[19] == ' ')
        return line.substr(20);
    return line;
}

std::string InfoLine(const AppState& state, const std::string& text) {
    return TimeStamp(state.Now()) + "INFO:" + text;
}

std::string ErrorLine(const AppState& state, const std::string& text) {
    return TimeStamp(state.Now()) + "ERROR:" + text;
}

std::string LogDatePart(const std::string& logStep, std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, EqualsNoCase(logStep, "DAY") ? "%Y%m%d" : "%Y%m", &tm);
    return buf;
}

namespace {

// A log that a root run starts goes to the program folder's owner, so the
// service that owns the folder can still write it.
int OpenAppend(const std::string& path, const std::string& programDir) {
    return OpenCreatingForFolderOwner(path, O_WRONLY | O_APPEND | O_CLOEXEC, 0644, programDir);
}

// Appends one line. A line the disk cannot take whole is cut off again, so
// the log never holds half a line. False (errno set) on failure.
bool AppendLine(int fd, const std::string& line) {
    std::string data = line + "\r\n";
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int e = n < 0 ? errno : ENOSPC;
            off_t end = ::lseek(fd, 0, SEEK_END);
            size_t written = data.size() - left;
            if (written > 0 && end >= static_cast<off_t>(written))
                (void)::ftruncate(fd, end - static_cast<off_t>(written));
            errno = e;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// A log that cannot be written never changes what happens to a file: the
// failure goes to standard error (once per log and operation) and counts as
// an error for the exit status.
void LogWriteFailed(AppState& state, const std::string& path, bool& reported, int err,
                    bool opening = false) {
    ++state.ErrorLinesReported;
    if (reported)
        return;
    reported = true;
    if (state.errorLines)
        state.errorLines->Add(
            (opening ? "Cannot open the log file " : "Cannot write the log file ") + path + ": " +
            ErrnoText(err));
    if (opening)
        std::fprintf(stderr,
                     "Cannot open the log file %s: %s. Give the user who runs the program write "
                     "access to it and to the LOG folder.\n",
                     path.c_str(), ErrnoText(err).c_str());
    else
        std::fprintf(stderr,
                     "Cannot write the log file %s: %s. Free some space in the LOG folder.\n",
                     path.c_str(), ErrnoText(err).c_str());
    std::fflush(stderr);
}

void WriteLine(AppState& state, int fd, const std::string& path, bool& reported,
               const std::string& line) {
    if (!AppendLine(fd, line))
        LogWriteFailed(state, path, reported, errno);
}

} // namespace

std::string SysLogName(const std::string& logStep, std::time_t t) {
    return "LOG/KVSYS" + LogDatePart(logStep, t) + ".LOG";
}

std::string TransferLogName(const std::string& logStep, std::time_t t) {
    return "LOG/KVTSF" + LogDatePart(logStep, t) + ".LOG";
}

void OpenLogs(AppState& state) {
    std::string folder = state.PathInProgramDir("LOG");
    struct stat st;
    if (!DirectoryExists(folder)) {
        if (ForceDirectories(folder)) {
            TakeFolderOwner(folder, state.ProgramDir);
        } else {
            ReportMessage(state, "Create Directory " + folder + " Failed!!!", true, true);
            if (::stat(folder.c_str(), &st) == 0)
                ReportError(state, folder + " is a file, not a folder: remove or rename it!!!");
        }
    }
    std::time_t now = state.Now();
    LogFiles& logs = state.logs;
    logs.SysLogPath = state.PathInProgramDir(SysLogName(state.LogStep, now));
    logs.TransferLogPath = state.PathInProgramDir(TransferLogName(state.LogStep, now));
    if (!logs.SysLogOpen && !logs.TransferLogOpen)
        logs.sysWriteReported = logs.transferWriteReported = false;
    // A log that cannot be opened is reported like a failed write: silently
    // missing records would hide what happened to the files.
    if (!logs.SysLogOpen) {
        logs.sysFd = OpenAppend(logs.SysLogPath, state.ProgramDir);
        logs.SysLogOpen = logs.sysFd >= 0;
        if (!logs.SysLogOpen)
            LogWriteFailed(state, logs.SysLogPath, logs.sysWriteReported, errno, true);
    }
    if (!logs.TransferLogOpen) {
        logs.transferFd = OpenAppend(logs.TransferLogPath, state.ProgramDir);
        logs.TransferLogOpen = logs.transferFd >= 0;
        if (!logs.TransferLogOpen)
            LogWriteFailed(state, logs.TransferLogPath, logs.transferWriteReported, errno, true);
    }
}

void CloseLogs(AppState& state) {
    // Each log is closed whatever happened to the other; a failure is
    // reported like a failed write.
    LogFiles& logs = state.logs;
    if (logs.SysLogOpen) {
        int fd = logs.sysFd;
        logs.sysFd = -1;
        logs.SysLogOpen = false;
        if (::close(fd) != 0)
            LogWriteFailed(state, logs.SysLogPath, logs.sysWriteReported, errno);
    }
    if (logs.TransferLogOpen) {
        int fd = logs.transferFd;
        logs.transferFd = -1;
        logs.TransferLogOpen = false;
        if (::close(fd) != 0)
            LogWriteFailed(state, logs.TransferLogPath, logs.transferWriteReported, errno);
    }
}

void ReportMessage(AppState& state, const std::string& line, bool view, bool box) {
    if (state.reportOrder && state.reportOrder->Hold(line, view, box))
        return;
    // The unprefixed folder-creation failures are errors as well.
    std::string_view body = LineBody(line);
    if (StartsWith(body, "ERROR:") ||
        (StartsWith(body, "Create Directory ") && body.find(" Failed!!!") != body.npos)) {
        ++state.ErrorLinesReported;
        if (state.errorLines)
            state.errorLines->Add(line);
    }
    if (view && !state.ServiceMode && state.host)
        state.host->AddLogViewLine(line);
    if (state.logs.SysLogOpen)
        WriteLine(state, state.logs.sysFd, state.logs.SysLogPath, state.logs.sysWriteReported,
                  line);
    if (box && state.MessageBoxesAllowed && state.host)
        state.host->ShowMessageBox(line);
}

void ReportInfo(AppState& state, const std::string& text, bool box) {
    ReportMessage(state, InfoLine(state, text), true, box);
}

void ReportError(AppState& state, const std::string& text, bool box) {
    ReportMessage(state, ErrorLine(state, text), true, box);
}

void WriteSysLogOnly(AppState& state, const std::string& line) {
    ReportMessage(state, line, false, false);
}

void WriteTransferRecord(AppState& state, const std::string& record) {
    if (state.logs.TransferLogOpen)
        WriteLine(state, state.logs.transferFd, state.logs.TransferLogPath,
                  state.logs.transferWriteReported, TimeStamp(state.Now()) + record);
}

int64_t TransferLogSize(const AppState& state) {
    struct stat st;
    if (!state.logs.TransferLogOpen || ::fstat(state.logs.transferFd, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

bool FlushTransferLog(AppState& state) {
    if (!state.logs.TransferLogOpen)
        return false;
    if (::fdatasync(state.logs.transferFd) == 0)
        return true;
    LogWriteFailed(state, state.logs.TransferLogPath, state.logs.transferWriteReported, errno);
    return false;
}

bool EnsureTransferRecord(AppState& state, const std::string& path, int64_t offset,
                          const std::string& record) {
    std::string text;
    try {
        text = ReadWholeFile(path);
    } catch (const FileError&) {
        // Gone (cleaned away): written anew below.
    }
    // A log that was cleaned and begun again is searched whole.
    size_t from =
        offset >= 0 && static_cast<size_t>(offset) <= text.size() ? static_cast<size_t>(offset) : 0;
    const std::string_view all(text);
    for (size_t at = text.find(record, from); at != std::string::npos;
         at = text.find(record, at + 1)) {
        // A whole line: a time stamp, the record, CR LF.
        if (at < from + 20)
            continue;
        const size_t lineStart = at - 20;
        if ((lineStart == 0 || text[lineStart - 1] == '\n') &&
            LineBody(all.substr(lineStart, 20 + record.size())).size() == record.size() &&
            all.substr(at + record.size(), 2) == "\r\n")
            return true;
    }
    if (state.logs.TransferLogOpen && path == state.logs.TransferLogPath) {
        WriteTransferRecord(state, record);
        return FlushTransferLog(state);
    }
    int fd = OpenAppend(path, state.ProgramDir);
    bool reported = false;
    if (fd < 0) {
        LogWriteFailed(state, path, reported, errno);
        return false;
    }
    bool ok = AppendLine(fd, TimeStamp(state.Now()) + record) && ::fdatasync(fd) == 0;
    if (!ok)
        LogWriteFailed(state, path, reported, errno);
    ::close(fd);
    return ok;
}

LogBracket::LogBracket(AppState& state)
    : state_(state), wasOpen_(state.logs.SysLogOpen || state.logs.TransferLogOpen) {
    OpenLogs(state_);
}

LogBracket::~LogBracket() {
    // An operation that runs inside another one's wait (a timer tick) must not
    // close the files under the outer operation.
    if (wasOpen_)
        return;
    try {
        CloseLogs(state_);
    } catch (...) {
        // A close failure at the end of an operation has nothing left to report to.
    }
}

} // namespace kv
