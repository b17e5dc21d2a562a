#include "EngineTestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kvtest {

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

namespace {
bool SetEffectiveDacOverride(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        unsigned bit = 1u << (cap % 32);
        if (on)
            data[cap / 32].effective |= bit & data[cap / 32].permitted;
        else
            data[cap / 32].effective &= ~bit;
    }
    return ::syscall(SYS_capset, &header, data) == 0;
}
} // namespace

NoFileAccessOverride::NoFileAccessOverride() : dropped_(SetEffectiveDacOverride(false)) {}

NoFileAccessOverride::~NoFileAccessOverride() {
    if (dropped_)
        SetEffectiveDacOverride(true);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::time_t LocalTime(int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

} // namespace kvtest
