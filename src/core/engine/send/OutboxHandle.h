#pragma once
// One outbox file, opened once without following links. Every later step of
// the send cycle (classification, upload, copies) reads what was opened,
// through the handle's /proc path, so a name swapped for a link meanwhile is
// never followed; and the handle tells whether the file changed since a point.
#include <string>
#include <sys/stat.h>

namespace kv {

class OutboxHandle {
public:
    explicit OutboxHandle(std::string path) : path_(std::move(path)) {}
    ~OutboxHandle();
    OutboxHandle(const OutboxHandle&) = delete;
    OutboxHandle& operator=(const OutboxHandle&) = delete;

    // Opens (again, after a rewrite replaced the file) the outbox name. False
    // when it is not a regular file or cannot be opened.
    bool Open();
    // A path that reads the opened file, whatever its name names now.
    std::string ReadPath() const;
    // The opened file's state now.
    struct stat Now() const;
    // False when the file grew, shrank or was written to since `before`, or
    // its outbox name no longer names it.
    bool Unchanged(const struct stat& before) const;
    // Removes the outbox name when it still names the opened file. False
    // (errno set) otherwise.
    bool Unlink() const;
    // Renames the outbox name to target (replacing what target names) when
    // it still names the opened file, that file has no other name, and target
    // is on the same file system. False (errno set) otherwise: EXDEV and
    // EMLINK ask for a copy instead.
    bool MoveTo(const std::string& target) const;

private:
    // True when the outbox name still names the opened file.
    bool NameStillOurs() const;

    std::string path_;
    int fd_ = -1;
};

} // namespace kv
