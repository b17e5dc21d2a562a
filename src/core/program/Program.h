#pragma once
// The program's start-up and close sequences as far as they belong to the
// core, shared by the window and the headless runner, plus the one-instance
// lock and the automatic-mode interval.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv {

struct AppState;

// Runs the core start-up steps in order: restore the settings file from its
// backup, move new language packs into place, open the logs and write the start
// lines, read the language and message-box settings, create the working
// folders, act on the words AUTO and SRV (any letter case), apply the update
// script, close the logs, and load the settings record.
// False when neither "Korvane.ini" nor "kvini.bak" exists ("INI File Lost!!!").
// A bad setting (port, password) or an update-script file error throws after
// the steps before it have run, as the window's creation handler ends there.
bool StartUp(AppState& state, const std::vector<std::string>& args);

// Close sequence: open the logs, disconnect a session, back up the settings
// file to "kvini.bak", write the close line, close the logs.
void CloseSequence(AppState& state);

// Timer interval of automatic mode in milliseconds: TimeInterval minutes
// times 60000, halves rounded to even. Throws FloatConversionError when it is
// not a number.
int64_t AutoIntervalMs(const std::string& timeInterval);
// The moment ms milliseconds after from, or the clock's last moment when that
// lies beyond it: a huge interval waits at least as long as the clock can tell.
std::chrono::steady_clock::time_point IntervalDeadline(int64_t ms,
                                                       std::chrono::steady_clock::time_point from);

// One running instance per program folder: an advisory lock on a file there.
// A lock left by a killed process does not count.
class InstanceLock {
public:
    explicit InstanceLock(const std::string& programDir);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    bool Acquired() const { return fd_ >= 0; }
    // The errno of a lock file that could not be created or opened (missing
    // or unwritable program folder); 0 when another instance holds the lock.
    int OpenError() const { return openError_; }
    // The errno of a lock file that was opened but cannot be locked at all
    // (ENOLCK: a file system without locks); 0 otherwise.
    int LockError() const { return lockError_; }
    // True when another process holds the lock.
    bool HeldElsewhere() const { return fd_ < 0 && openError_ == 0 && lockError_ == 0; }
    // Why the lock was not acquired, for the user: "Program Already Run!!!",
    // or the program folder that cannot be used or locked and what to do.
    std::string Refusal(const std::string& programDir) const;
    // For a terminal, after "Program Already Run!!!": the folder and the
    // process that holds it, as " (the program folder /srv/acme is held by
    // process 812: korvaned SRV)"; without the process when the system
    // does not tell it.
    static std::string Holder(const std::string& programDir);

private:
    int fd_ = -1;
    int openError_ = 0;
    int lockError_ = 0;
};

} // namespace kv
