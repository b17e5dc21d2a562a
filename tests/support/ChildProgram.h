#pragma once
// A program of this build run as a child process with an environment of its
// own, standard output to /dev/null and standard error to a file; killed
// (SIGKILL) and reaped at destruction if it still runs.
#include <string>
#include <sys/types.h>
#include <vector>

namespace kvtest {

// <build>/bin/name: $KORVANE_BUILD_DIR, else the folder above the test binary's.
std::string BuildProgram(const std::string& name);

class ChildProgram {
public:
    ChildProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& errFile);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    bool started() const { return started_; }
    // Exit status (128 + signal when killed), -1 when it did not end within
    // the limit, -2 when it was never started or already reaped.
    int wait(int seconds = 60);
    bool running();
    void signal(int sig);
    // What it wrote on standard error so far.
    std::string err() const;

private:
    std::string errFile_;
    pid_t pid_ = -1;
    bool started_ = false;
};

} // namespace kvtest
