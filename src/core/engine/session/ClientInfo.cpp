#include "engine/session/ClientInfo.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "util/Text.h"

#include <arpa/inet.h>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/utsname.h>

namespace kv {

namespace {

// Leading decimal digits of s from pos; pos moves past them.
int LeadingNumber(const std::string& s, size_t& pos) {
    int v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && v < 100000000)
        v = v * 10 + (s[pos++] - '0');
    return v;
}

std::string OsPrettyName() {
    std::ifstream f("/etc/os-release");
    std::string line;
    while (std::getline(f, line)) {
        if (!StartsWith(line, "PRETTY_NAME="))
            continue;
        std::string v = Trim(line.substr(12));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        return v;
    }
    return "";
}

} // namespace

OsVersionInfo QueryOsVersion() {
    OsVersionInfo info;
    struct utsname u;
    if (::uname(&u) == 0) {
        std::string release = u.release; // e.g. 6.1.0-18-amd64
        size_t pos = 0;
        info.Major = LeadingNumber(release, pos);
        if (pos < release.size() && release[pos] == '.')
            info.Minor = LeadingNumber(release, ++pos);
        if (pos < release.size() && release[pos] == '.')
            info.Build = LeadingNumber(release, ++pos);
    }
    info.Name = OsPrettyName();
    return info;
}

namespace {

// The first address of the family that is neither loopback nor (IPv6)
// link-local, "" when there is none.
std::string FirstInterfaceAddress(int family) {
    std::string found;
    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (struct ifaddrs* a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != family || (a->ifa_flags & IFF_LOOPBACK))
            continue;
        char buf[INET6_ADDRSTRLEN] = {};
        if (family == AF_INET) {
            auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            if ((ntohl(in->sin_addr.s_addr) >> 24) != 127 &&
                ::inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf))
                found = buf;
        } else {
            auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
            if (!IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) && !IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr) &&
                ::inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf))
                found = buf;
        }
    }
    ::freeifaddrs(list);
    return found;
}

} // namespace

std::string LocalIPAddress() {
    std::string found = FirstInterfaceAddress(AF_INET);
    if (found.empty())
        found = FirstInterfaceAddress(AF_INET6);
    return found.empty() ? "127.0.0.1" : found;
}

std::string LocalIPv6Address() {
    return FirstInterfaceAddress(AF_INET6);
}

std::string ClientInfoText(const AppState& state, const CycleSettings& settings,
                           const std::string& localIP, const OsVersionInfo& os,
                           const std::string& localIPv6) {
    const Settings& s = settings.record;
    auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    auto options = [&](const SettingKey& key) { return settings.file.Text(key); };
    const std::pair<const char*, std::string> rows[] = {
        {"Version=", state.ProgramVersion},
        {"LocalIP=", localIP},
        {"Win32Platform=", IntToStr(os.Platform)},
        {"Win32MajorVersion=", IntToStr(os.Major)},
        {"Win32MinorVersion=", IntToStr(os.Minor)},
        {"Win32BuildNumber=", IntToStr(os.Build)},
        {"Win32CSDVersion=", os.Name},
        {"AutoUpgrade=", options(keys::AutoUpgrade)},
        {"LogStep=", state.LogStep},
        {"Host=", s.Host},
        {"Port=", IntToStr(s.Port)},
        {"Username=", s.UserID},
        {"Passive=", flag(s.Passive)},
        {"TransferType=", s.TransferType},
        {"FileSender=", options(keys::FileSender)},
        {"AllowReceive=", options(keys::AllowReceive)},
        {"AllowSend=", options(keys::AllowSend)},
        {"WinXPFirewall=", flag(s.WinXPFirewall)},
        {"AutoMode=", flag(state.AutoMode)},
        {"TRAYMode=", flag(state.TrayMode)},
        {"ServiceMode=", flag(state.ServiceMode)},
        {"CNC102=", flag(s.CNC102)},
        {"RemoteInPath=", options(keys::RemoteInPath)},
        {"RemoteOutPath=", options(keys::RemoteOutPath)},
        {"LocalInPath=", options(keys::LocalInPath)},
        {"LocalOutPath=", options(keys::LocalOutPath)},
        {"TimeInterval=", s.TimeInterval},
        {"LogTimeOut=", s.LogTimeOut},
        {"KVTimeOut=", s.KVTimeOut},
    };
    std::string text;
    for (const auto& [key, value] : rows)
        text += std::string(key) + value + "\r\n";
    if (!localIPv6.empty())
        text += "LocalIPv6=" + localIPv6 + "\r\n";
    return text;
}

std::string ClientInfoRemoteName(const std::string& localIP) {
    std::string name = localIP;
    for (char& c : name)
        if (c == '.' || c == ':')
            c = '_';
    return "KVinf_" + name + ".txt";
}

} // namespace kv
