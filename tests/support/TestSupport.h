#pragma once
// Shared helpers of the test binaries: temporary folders, whole-file reads and
// writes, and a host that records what the core reported.
#include "app/AppState.h"
#include "util/Host.h"

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace kvtest {

// A fresh folder under $TMPDIR, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Lines of a file split at CR LF (the last empty piece dropped).
std::vector<std::string> ReadCrLfLines(const std::string& path);
// A local time as the clock would give it (for tests that cross midnight).
std::time_t LocalTime(int y, int mo, int d, int h, int mi, int s);
// The system log lines of a program folder, every "KVSYS*.LOG" of its "LOG"
// folder, time stamps removed.
std::vector<std::string> SysLogLines(const std::string& home);
// Polls cond, sleeping stepMs between tries, at most tries times; whether it
// came true.
bool Eventually(const std::function<bool()>& cond, int tries, int stepMs);
// Strips the leading "yyyy-mm-dd hh:nn:ss " from a reported line when present.
std::string WithoutStamp(const std::string& line);

// While it lives, this thread is subject to file permission bits even as root
// (CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH leave the effective set).
class NoFileAccessOverride {
public:
    NoFileAccessOverride();
    ~NoFileAccessOverride();
    NoFileAccessOverride(const NoFileAccessOverride&) = delete;
    NoFileAccessOverride& operator=(const NoFileAccessOverride&) = delete;

private:
    bool dropped_ = false;
};

class RecordingHost : public kv::Host {
public:
    std::vector<std::string> view;
    std::vector<std::string> boxes;
    std::vector<std::string> trace;
    std::vector<std::string> status;
    int pumps = 0;
    void AddLogViewLine(const std::string& line) override { view.push_back(line); }
    void ShowMessageBox(const std::string& text) override { boxes.push_back(text); }
    void ProcessPendingEvents() override { ++pumps; }
    void FtpTrace(const std::string& line) override { trace.push_back(line); }
    void FtpStatus(const std::string& text) override { status.push_back(text); }
};

// An application state on a temporary program folder with a recording host.
struct StateFixture {
    TempDir dir;
    RecordingHost host;
    kv::AppState state;
    StateFixture();
    std::string path(const std::string& name) const { return dir / name; }
};

} // namespace kvtest
