#include "engine/DeliveryJournal.h"

#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace kv {

namespace {

// More entries than any mailbox keeps waiting; the oldest go first.
constexpr size_t kMaxEntries = 10000;

} // namespace

DeliveryJournal::DeliveryJournal(std::string path) : path_(std::move(path)) {
    std::string text;
    try {
        text = ReadWholeFile(path_);
    } catch (const FileError&) {
        return; // none yet
    }
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t a = line.find(' ');
        size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b == std::string::npos || a != 64)
            continue;
        auto size = TryStrToInt64(line.substr(a + 1, b - a - 1));
        if (!size)
            continue;
        entries_.push_back({line.substr(0, a), *size, line.substr(b + 1)});
    }
}

bool DeliveryJournal::Contains(const std::string& remotePath, int64_t size,
                               const std::string& sha) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
        return e.remotePath == remotePath && e.size == size && e.sha == sha;
    });
}

bool DeliveryJournal::HasPath(const std::string& remotePath, int64_t size) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
        return e.remotePath == remotePath && e.size == size;
    });
}

DeliveryJournal::~DeliveryJournal() {
    if (appendFd_ >= 0)
        ::close(appendFd_);
}

void DeliveryJournal::Append(const std::string& remotePath, int64_t size, const std::string& sha) {
    if (Contains(remotePath, size, sha))
        return;
    if (entries_.size() >= kMaxEntries) {
        entries_.erase(entries_.begin());
        dirty_ = true;
        Save();
    }
    if (appendFd_ < 0) {
        created_ = ::access(path_.c_str(), F_OK) != 0;
        appendFd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (appendFd_ < 0)
            throw FileError("Cannot write file " + path_ + ": " + ErrnoText(errno));
    }
    std::string line = sha + " " + IntToStr(size) + " " + remotePath + "\n";
    if (::write(appendFd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        int err = errno;
        ::close(appendFd_);
        appendFd_ = -1;
        throw FileError("Cannot write file " + path_ + ": " + ErrnoText(err));
    }
    entries_.push_back({sha, size, remotePath});
}

void DeliveryJournal::Flush() {
    if (appendFd_ < 0)
        return;
    int fd = appendFd_;
    appendFd_ = -1;
    bool ok = ::fdatasync(fd) == 0;
    int err = errno;
    ::close(fd);
    if (!ok)
        throw FileError("Cannot write file " + path_ + ": " + ErrnoText(err));
    if (created_)
        SyncFolder(FolderOf(path_));
    created_ = false;
}

void DeliveryJournal::Remove(const std::string& remotePath) {
    auto end = std::remove_if(entries_.begin(), entries_.end(),
                              [&](const Entry& e) { return e.remotePath == remotePath; });
    if (end != entries_.end()) {
        entries_.erase(end, entries_.end());
        dirty_ = true;
    }
}

void DeliveryJournal::KeepOnlyListed(const std::string& remoteFolder,
                                     const std::set<std::string>& listed) {
    const std::string prefix = remoteFolder + "/";
    auto end = std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
        return StartsWith(e.remotePath, prefix) &&
               e.remotePath.find('/', prefix.size()) == std::string::npos &&
               listed.count(e.remotePath.substr(prefix.size())) == 0;
    });
    if (end != entries_.end()) {
        entries_.erase(end, entries_.end());
        dirty_ = true;
    }
}

void DeliveryJournal::Save() {
    if (!dirty_ && entries_.size() < kMaxEntries)
        return;
    Flush();
    if (entries_.empty()) {
        if (::unlink(path_.c_str()) == 0)
            SyncFolder(FolderOf(path_));
        dirty_ = false;
        return;
    }
    std::string text;
    for (const Entry& e : entries_)
        text += e.sha + " " + IntToStr(e.size) + " " + e.remotePath + "\n";
    AtomicWriteFile(path_, text);
    SyncFolder(FolderOf(path_));
    dirty_ = false;
}

} // namespace kv
