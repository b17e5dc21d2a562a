#include "support/TestSupport.h"

#include "logging/Logs.h"
#include "util/Fs.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <sstream>
#include <stdexcept>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace kvtest {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/korvane-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them removable first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> SysLogLines(const std::string& home) {
    std::vector<std::string> lines;
    for (const auto& name : kv::ListFolder(kv::JoinPath(home, "LOG"), "KVSYS*.LOG"))
        for (auto& l : ReadCrLfLines(kv::JoinPath(home, "LOG/" + name)))
            lines.push_back(WithoutStamp(l));
    return lines;
}

bool Eventually(const std::function<bool()>& cond, int tries, int stepMs) {
    for (int i = 0; i < tries; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return cond();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::vector<std::string> ReadCrLfLines(const std::string& path) {
    std::string text = ReadFile(path);
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find("\r\n", pos);
        if (e == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, e - pos));
        pos = e + 2;
    }
    return lines;
}

std::string WithoutStamp(const std::string& line) {
    return std::string(kv::LineBody(line));
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

StateFixture::StateFixture() {
    state.ProgramDir = dir.path();
    state.IniPath = dir / "Korvane.ini";
    state.host = &host;
}

} // namespace kvtest
