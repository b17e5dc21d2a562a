#pragma once
// The client information file "KVinf.txt" that ConnectSession uploads once per
// run, and the machine facts it reports.
#include <string>

namespace kv {

struct AppState;
class IniFile;

struct OsVersionInfo {
    int Platform = 0; // the Windows platform id; 0 here
    int Major = 0;    // from the kernel release
    int Minor = 0;
    int Build = 0;
    std::string Name; // PRETTY_NAME of /etc/os-release
};
OsVersionInfo QueryOsVersion();

// The first non-loopback IPv4 address of the machine, else "127.0.0.1".
std::string LocalIPAddress();

// The 29 lines of the file, each ended by CR LF. Rows read from the settings
// file (AutoUpgrade, FileSender, AllowReceive, AllowSend and the four main
// folders) are read through ini now.
std::string ClientInfoText(const AppState& state, const IniFile& ini, const std::string& localIP,
                           const OsVersionInfo& os);

// "KVinf_" + the address with every "." replaced by "_" + ".txt".
std::string ClientInfoRemoteName(const std::string& localIP);

} // namespace kv
