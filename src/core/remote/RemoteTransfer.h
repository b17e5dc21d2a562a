#pragma once
// What the sessions' transfers share whatever the protocol: the work events
// reported in steps of at most 32 KiB, the bytes-per-second floor, the most a
// download may bring, and the writes into the local file.
#include "remote/RemoteEvents.h"
#include "remote/RemoteSession.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::remote {

// Bytes per work event at most.
inline constexpr int64_t kWorkStep = 32768;

// The work events of a session's two directions. Nested begins of one
// direction count as one transfer; the events go to the session's receiver
// as it is at each event (none: dropped).
class WorkEvents {
public:
    explicit WorkEvents(Events* const& receiver) : receiver_(receiver) {}

    void Begin(WorkDirection d, int64_t announcedSize);
    // One event per step of at most kWorkStep, however many bytes one call
    // moved: hosts see the same steps whatever the transfer path. Once
    // stopped() holds (an abort from a handler), the call reports no more.
    template <class Stopped> void Moved(WorkDirection d, int64_t count, Stopped&& stopped) {
        State& s = state_[static_cast<int>(d)];
        if (s.level < 1)
            return;
        while (count > 0 && !stopped()) {
            const int64_t step = std::min<int64_t>(count, kWorkStep);
            s.total += step;
            count -= step;
            Receiver().Work(d, s.total);
        }
    }
    void End(WorkDirection d);

    // A transfer's events from its begin to its end, also when it fails.
    class Scope {
    public:
        Scope(WorkEvents& w, WorkDirection d, int64_t announcedSize) : w_(w), d_(d) {
            w_.Begin(d, announcedSize);
        }
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        WorkEvents& w_;
        WorkDirection d_;
    };

private:
    struct State {
        int level = 0;
        int64_t total = 0;
    };
    Events& Receiver() { return receiver_ ? *receiver_ : quiet_; }

    Events* const& receiver_;
    Events quiet_;
    State state_[2];
};

// Fails a transfer that moves fewer than the session's MinBytesPerSecond over
// a whole NetTimeOut (SocketError 10060); a floor of 0 never fails.
class RateFloor {
public:
    // protocol names the server in the message ("FTP", "SFTP").
    RateFloor(const RemoteSession& s, const char* protocol);
    void Moved(int64_t bytes);

private:
    int64_t floor_;
    std::chrono::steady_clock::duration window_;
    std::chrono::steady_clock::time_point since_;
    int64_t bytes_ = 0;
    const char* protocol_;
};

// The most bytes a download may bring: the file's size as the server gave it
// (else as expected; negative: unknown), doubled in ASCII type; no bound when
// neither is known.
int64_t DownloadLimit(int64_t serverSize, int64_t expectedSize, TransferType type);
// Refuses a download whose announced size (when known) is more than the
// local disk of fd has free: a size that cannot be true (2^60 bytes) never
// starts a download that would fill the disk (FtpLimitError).
void CheckRoomFor(int fd, int64_t announced, const char* protocol, const std::string& remoteName);
// Stops a download whose bytes passed its limit (FtpLimitError; the file
// stays on the server).
void CheckDownloadLimit(int64_t bytes, int64_t limit, const char* protocol,
                        const std::string& remoteName);
// Starts the disk write-back of a download's local file once `every` bytes
// (when above 0) arrived since writtenBack, so that a flush at its end has
// little left; only starts the writing, errors show at the flush.
void StartWriteBack(int fd, int64_t bytes, int64_t every, int64_t& writtenBack);

// Writes all n bytes to the local file name (FileError when the disk refuses).
void WriteAll(int fd, const char* p, size_t n, const std::string& name);

} // namespace kv::remote
