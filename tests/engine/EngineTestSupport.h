#pragma once
// Helpers of the engine tests: small tmpfs mounts for disk-full cases, folder
// listings, dropping root's file-access override for unreadable files.
#include "support/TestSupport.h"

#include <ctime>
#include <string>
#include <vector>

namespace kvtest {

// A tmpfs of the given size mounted on path (created if needed) for the life
// of the object. Mounting needs root; ok() is false otherwise.
class TmpfsMount {
public:
    TmpfsMount(const std::string& path, size_t bytes);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool ok() const { return mounted_; }
    std::string skipReason() const;

private:
    std::string path_;
    bool mounted_ = false;
    int error_ = 0;
};

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

// Entry names of a folder (hidden ones included), sorted.
std::vector<std::string> FolderEntries(const std::string& folder);

std::time_t LocalTime(int y, int mo, int d, int h, int mi, int s);

} // namespace kvtest
