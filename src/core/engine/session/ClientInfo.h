#pragma once
// The client information file "KVinf.txt" that ConnectSession uploads once per
// run, and the machine facts it reports.
#include <string>

namespace kv {

struct AppState;
struct CycleSettings;

struct OsVersionInfo {
    int Platform = 0; // the Windows platform id; 0 here
    int Major = 0;    // from the kernel release
    int Minor = 0;
    int Build = 0;
    std::string Name; // PRETTY_NAME of /etc/os-release
};
OsVersionInfo QueryOsVersion();

// The first non-loopback IPv4 address of the machine, else its first global
// IPv6 address (an IPv6-only machine), else "127.0.0.1".
std::string LocalIPAddress();
// The first global IPv6 address of the machine (neither loopback nor
// link-local), else "".
std::string LocalIPv6Address();

// The 29 lines of the file, each ended by CR LF, and a 30th, "LocalIPv6=",
// when localIPv6 is not empty. Rows read from the settings file (AutoUpgrade,
// FileSender, AllowReceive, AllowSend and the four main folders) are read
// through ini now.
std::string ClientInfoText(const AppState& state, const CycleSettings& settings,
                           const std::string& localIP, const OsVersionInfo& os,
                           const std::string& localIPv6 = "");

// "KVinf_" + the address with every "." and ":" replaced by "_" + ".txt".
std::string ClientInfoRemoteName(const std::string& localIP);

} // namespace kv
