#pragma once
// What a file-transfer session (FTP, SFTP) tells whoever uses it: the idle
// pump between the slices of every wait, protocol trace lines, status texts,
// the end of the connection, and the progress of data transfers. The session
// knows nothing of the program that receives these.
#include "util/WorkDirection.h"

#include <cstdint>
#include <string>

namespace kv::remote {

class Events {
public:
    virtual ~Events() = default;
    // Between the 50 ms slices of every network wait; may run any code,
    // a Disconnect or an Abort of the waiting session included.
    virtual void Idle() {}
    // A protocol trace line (time-stamped; the password masked).
    virtual void Trace(const std::string& line) { (void)line; }
    virtual void Status(const std::string& text) { (void)text; }
    virtual void Disconnected() {}
    virtual void WorkBegin(WorkDirection dir, int64_t announcedSize) {
        (void)dir;
        (void)announcedSize;
    }
    // total: bytes moved so far by the running transfer.
    virtual void Work(WorkDirection dir, int64_t total) {
        (void)dir;
        (void)total;
    }
    virtual void WorkEnd(WorkDirection dir) { (void)dir; }
};

} // namespace kv::remote
