#pragma once
// File systems a test mounts for itself: a small tmpfs (a full disk, a second
// file system) and an ext4 image on a loop device whose power can be cut (the
// file system is shut down without flushing its journal, then mounted again:
// only what was flushed survives). Mounting needs root; ok() says whether it
// worked and skipReason() why not.
#include <cstddef>
#include <string>

namespace kvtest {

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

class PowerCutDisk {
public:
    // An ext4 image of the given size in imageFolder, mounted on path.
    PowerCutDisk(const std::string& imageFolder, const std::string& path, size_t bytes);
    ~PowerCutDisk();
    PowerCutDisk(const PowerCutDisk&) = delete;
    PowerCutDisk& operator=(const PowerCutDisk&) = delete;
    bool ok() const { return mounted_; }
    std::string skipReason() const { return why_; }
    // The power goes: nothing more reaches the disk, and what was not flushed
    // is lost. The file system comes back as the journal left it.
    bool CutPower();

private:
    bool Mount();
    // The loop device the image stays attached to for the disk's life: a
    // "mount -o loop" after each cut let mount reuse a device whose
    // automatic detach from the last unmount was still pending, and the
    // file system then lost its device under the test (reads failed).
    std::string image_, path_, why_, device_;
    bool mounted_ = false;
};

} // namespace kvtest
