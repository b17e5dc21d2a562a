// Snapshot of the files open for writing or locked, from /proc.
#include "util/BusyFiles.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kv {

namespace {

bool AllDigits(const char* s) {
    if (!*s)
        return false;
    for (; *s; ++s)
        if (!std::isdigit(static_cast<unsigned char>(*s)))
            return false;
    return true;
}

// The open flags of one descriptor, from its fdinfo ("flags:\t0100002", octal).
bool OpenForWriting(const std::string& fdinfoPath) {
    std::ifstream in(fdinfoPath);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("flags:", 0) != 0)
            continue;
        unsigned long flags = std::strtoul(line.c_str() + 6, nullptr, 8);
        int mode = static_cast<int>(flags & O_ACCMODE);
        return mode == O_WRONLY || mode == O_RDWR;
    }
    return false;
}

} // namespace

BusyFiles BusyFiles::Scan() {
    BusyFiles busy;
    busy.ScanOpenFiles();
    busy.ScanLocks();
    return busy;
}

bool BusyFiles::Contains(dev_t dev, ino_t ino) const {
    return ids_.count({static_cast<uint64_t>(dev), static_cast<uint64_t>(ino)}) != 0;
}

void BusyFiles::Add(dev_t dev, ino_t ino) {
    ids_.insert({static_cast<uint64_t>(dev), static_cast<uint64_t>(ino)});
}

namespace {

// Calls take(fdinfo path, stat) for every regular file some process has open
// (that this user may see) until take returns true.
template <class Take> void ForEachOpenFile(Take take) {
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return;
    bool done = false;
    while (dirent* p = done ? nullptr : ::readdir(proc)) {
        if (!AllDigits(p->d_name))
            continue;
        std::string base = std::string("/proc/") + p->d_name;
        DIR* fds = ::opendir((base + "/fd").c_str());
        if (!fds)
            continue; // another user's process, or gone
        while (dirent* f = done ? nullptr : ::readdir(fds)) {
            if (!AllDigits(f->d_name))
                continue;
            struct stat st;
            if (::stat((base + "/fd/" + f->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
                done = take(base + "/fdinfo/" + f->d_name, st);
        }
        ::closedir(fds);
    }
    ::closedir(proc);
}

} // namespace

bool BusyFiles::HeldForWriting(dev_t dev, ino_t ino) {
    bool held = false;
    ForEachOpenFile([&](const std::string& fdinfo, const struct stat& st) {
        held = st.st_dev == dev && st.st_ino == ino && OpenForWriting(fdinfo);
        return held;
    });
    return held;
}

void BusyFiles::ScanOpenFiles() {
    ForEachOpenFile([this](const std::string& fdinfo, const struct stat& st) {
        if (OpenForWriting(fdinfo))
            Add(st.st_dev, st.st_ino);
        return false;
    });
}

// Lines such as "1: POSIX  ADVISORY  WRITE 1234 08:02:131 0 EOF" or
// "2: -> FLOCK  ADVISORY  WRITE 99 00:2b:77 0 EOF": the file is the field
// "major:minor:inode", with major and minor in hex and the inode in decimal.
void BusyFiles::ScanLocks() {
    std::ifstream in("/proc/locks");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string w;
        while (words >> w) {
            unsigned major = 0, minor = 0;
            unsigned long long inode = 0;
            char tail = 0;
            if (std::sscanf(w.c_str(), "%x:%x:%llu%c", &major, &minor, &inode, &tail) == 3) {
                Add(::makedev(major, minor), static_cast<ino_t>(inode));
                break;
            }
        }
    }
}

} // namespace kv
