#include "support/Mounts.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace kvtest {

namespace {

// EXT4_IOC_SHUTDOWN and its flag that neither flushes the journal nor data.
constexpr unsigned long kExt4Shutdown = 0x8004587D;
constexpr uint32_t kShutdownNoLogFlush = 2;

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The first line a command prints; empty when it failed.
std::string FirstLineOf(const std::string& command) {
    FILE* out = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!out)
        return "";
    char line[256] = {};
    const bool got = std::fgets(line, sizeof line, out) != nullptr;
    const int status = ::pclose(out);
    std::string text = got && status == 0 ? line : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace

TmpfsMount::TmpfsMount(const std::string& path, size_t bytes) : path_(path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
        mounted_ = true;
    else
        error_ = errno;
}

TmpfsMount::~TmpfsMount() {
    if (mounted_)
        ::umount2(path_.c_str(), MNT_DETACH);
}

std::string TmpfsMount::skipReason() const {
    return "cannot mount a small tmpfs on " + path_ + " (" + std::strerror(error_) +
           "): disk-full cases need root";
}

PowerCutDisk::PowerCutDisk(const std::string& imageFolder, const std::string& path, size_t bytes)
    : image_(imageFolder + "/disk.img"), path_(path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (::geteuid() != 0) {
        why_ = "cutting the power of a file system needs root (a loop-mounted ext4 image)";
        return;
    }
    if (::truncate(image_.c_str(), static_cast<off_t>(bytes)) != 0 &&
        !Run("truncate -s " + std::to_string(bytes) + " '" + image_ + "'")) {
        why_ = "cannot make the disk image " + image_;
        return;
    }
    // The journal replays as a real disk's would; no lazy initialisation
    // writing behind the test's back.
    if (!Run("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 '" + image_ + "'")) {
        why_ = "mkfs.ext4 failed (package e2fsprogs)";
        return;
    }
    device_ = FirstLineOf("losetup --find --show '" + image_ + "'");
    if (device_.empty() || !Mount())
        why_ = "cannot mount an ext4 image on a loop device here (" + path_ + ")";
}

bool PowerCutDisk::Mount() {
    mounted_ = Run("mount '" + device_ + "' '" + path_ + "'");
    return mounted_;
}

PowerCutDisk::~PowerCutDisk() {
    if (mounted_)
        Run("umount '" + path_ + "'");
    if (!device_.empty())
        Run("losetup --detach '" + device_ + "'");
}

bool PowerCutDisk::CutPower() {
    if (!mounted_)
        return false;
    int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint32_t flags = kShutdownNoLogFlush;
    const bool down = ::ioctl(fd, kExt4Shutdown, &flags) == 0;
    ::close(fd);
    mounted_ = !Run("umount '" + path_ + "'");
    // Nothing the old mount left in the device's cache is read back.
    Run("blockdev --flushbufs '" + device_ + "'");
    return down && !mounted_ && Mount();
}

} // namespace kvtest
