#pragma once
// Runs a program to its end and keeps what it printed, for commands whose
// answer is their output (systemctl, loginctl): no shell, standard input
// from /dev/null, standard output and error together, a time limit after
// which its process group is ended.
#include <cstdint>
#include <string>
#include <vector>

namespace kv {

struct CapturedRun {
    // The exit status, 128 + signal when a signal ended it, -1 when it could
    // not be started or did not end within the limit.
    int status = -1;
    // What it wrote (at most 64 KB), or why it could not be started or was
    // ended.
    std::string output;
    bool Ok() const { return status == 0; }
    // The output's first line, trimmed: enough for a message.
    std::string FirstLine() const;
};

// argv[0] is searched in PATH when it holds no '/'.
CapturedRun RunCaptured(const std::vector<std::string>& argv, int64_t limitMs);

} // namespace kv
