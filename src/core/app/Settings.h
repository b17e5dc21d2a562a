#pragma once
// The settings record: connection settings and switches loaded from the
// settings file by ReadSettings at the start and after each settings dialog.
// What a cycle takes besides the record is CycleSettings.
#include <cstdint>
#include <string>

namespace kv {

struct AppState;
class SettingsSnapshot;

struct Settings {
    std::string Host;
    int32_t Port = 0;
    std::string UserID;
    std::string Password; // deciphered
    std::string TransferType;
    std::string FileSender;
    bool Passive = false;
    bool CNC102 = false;
    bool WinXPFirewall = false;
    std::string TimeInterval;
    std::string LogTimeOut;
    std::string KVTimeOut;
    int32_t ProxyType = 0; // 0 none, 1 SOCKS 4, 2 SOCKS 4A, 3 SOCKS 5
    int32_t ProxyAuthentication = 0;
    std::string ProxyHost;
    int32_t ProxyPort = 0;
    std::string ProxyUserID;
    std::string ProxyPassword; // deciphered
    // Options/FTPS: explicit TLS required (any value but empty or "0", so a
    // mistyped value never means clear text); FTPSCAFile and FTPSFingerprint
    // choose how the server's certificate is trusted.
    bool FTPS = false;
    std::string FTPSCAFile;
    std::string FTPSFingerprint;
    // Options/Protocol as stored ("FTP", "SFTP"; empty is FTP): the session
    // refuses any other value when it is made. SFTP's pinned host key, key
    // file and its passphrase (deciphered).
    std::string Protocol;
    std::string SFTPHostKey;
    std::string SFTPKeyFile;
    std::string SFTPKeyPassword;

    // "BIN" in any letter case means binary; anything else ASCII.
    bool BinaryTransfer() const;
    // Options/Protocol is "SFTP" (letter case and blanks around it ignored).
    bool Sftp() const;
};

// The fixed key string of the stored passwords.
inline constexpr const char* kPasswordKey = "QJRVX";

// Loads the record from one read of the settings file (state.IniPath). A file
// that cannot be read throws IniError with the record unchanged. A port that
// is not a decimal integer, or a password that is not hex text, throws: the
// fields read before it keep their new values, the later ones their old values.
void ReadSettings(AppState& state);
// The same from a snapshot, writing and logging nothing (korvaned TEST): an
// absent Proxy section reads as no proxy.
void LoadSettings(AppState& state, const SettingsSnapshot& file);

} // namespace kv
