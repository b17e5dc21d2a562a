#pragma once
// The settings file's keys in one table: each key's section and name, the
// kind of value it holds, and what an absent (or empty) key reads as. Every
// reader and writer of Korvane.ini names its keys from here, so a key is
// spelled once and what its absence means is decided in one place; the read
// and write functions below apply the table's rules.
#include "config/IniFile.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kv {

// How a stored value is taken.
enum class ValueKind {
    Text,          // as stored
    Number,        // decimal text, converted where it is used
    Folder,        // a folder path, absolute as the program writes it
    Cipher,        // a password as hex cipher text
    Flag,          // on exactly when "1": absent, empty and any other text are off
    FlagUnlessOff, // off exactly when "0": absent and any other text are on
    FlagWhenSet,   // on when set to anything but "0" (blanks around it ignored)
};

struct SettingKey {
    constexpr SettingKey(std::string_view section_, std::string_view name_, ValueKind kind_,
                         std::string_view absent_ = {})
        : section(section_), name(name_), kind(kind_), absent(absent_) {}

    std::string_view section;
    std::string_view name;
    ValueKind kind = ValueKind::Text;
    // What an absent or empty value stands for where the program puts a
    // value in its place: the value written back or used instead, or for a
    // folder the name of the default folder in the program folder. Empty
    // when an empty value means just that (no host, no program, ...).
    std::string_view absent;
    // 1 to 9 for a key of an extra send or receive group: the digit follows
    // the name ("LocalInPath3"). An extra group's empty key means the group
    // is not used, so it has no absent value.
    int group = 0;

    // The key's name in the file.
    std::string Name() const;
    // "Section/Name", as messages name a key.
    std::string Path() const;
    // The same key of extra group n (1 to 9).
    constexpr SettingKey Group(int n) const {
        SettingKey k = *this;
        k.group = n;
        k.absent = {};
        return k;
    }
};

namespace keys {
// clang-format off
// Options: the connection and transfer options.
inline constexpr SettingKey Host           {"Options", "Host",           ValueKind::Text};
inline constexpr SettingKey Port           {"Options", "Port",           ValueKind::Number};
inline constexpr SettingKey UserID         {"Options", "UserID",         ValueKind::Text};
inline constexpr SettingKey Password       {"Options", "Password",       ValueKind::Cipher};
inline constexpr SettingKey NetType        {"Options", "NetType",        ValueKind::Text};
inline constexpr SettingKey FileSender     {"Options", "FileSender",     ValueKind::Text};
inline constexpr SettingKey TransferType   {"Options", "TransferType",   ValueKind::Text, "ASCII"};
inline constexpr SettingKey Passive        {"Options", "Passive",        ValueKind::Flag};
inline constexpr SettingKey FTPS           {"Options", "FTPS",           ValueKind::FlagWhenSet};
inline constexpr SettingKey FTPSCAFile     {"Options", "FTPSCAFile",     ValueKind::Text};
inline constexpr SettingKey FTPSFingerprint{"Options", "FTPSFingerprint",ValueKind::Text};
// Options: the protocol ("FTP" or "SFTP"; absent or empty is FTP) and SFTP's
// pinned host key, key file and the key file's passphrase.
inline constexpr SettingKey Protocol       {"Options", "Protocol",       ValueKind::Text, "FTP"};
inline constexpr SettingKey SFTPHostKey    {"Options", "SFTPHostKey",    ValueKind::Text};
inline constexpr SettingKey SFTPKeyFile    {"Options", "SFTPKeyFile",    ValueKind::Text};
inline constexpr SettingKey SFTPKeyPassword{"Options", "SFTPKeyPassword",ValueKind::Cipher};
inline constexpr SettingKey NetTimeOut     {"Options", "NetTimeOut",     ValueKind::Number};
inline constexpr SettingKey WinXPFirewall  {"Options", "WinXPFirewall",  ValueKind::Flag};
inline constexpr SettingKey CNC102         {"Options", "CNC102",         ValueKind::Flag};
inline constexpr SettingKey AllowStartAuto {"Options", "AllowStartAuto", ValueKind::Flag};
inline constexpr SettingKey AllowReceive   {"Options", "AllowReceive",   ValueKind::FlagUnlessOff};
inline constexpr SettingKey AllowSend      {"Options", "AllowSend",      ValueKind::FlagUnlessOff};
inline constexpr SettingKey TimeInterval   {"Options", "TimeInterval",   ValueKind::Number, "10"};
// Options: where the counters for monitoring go (Prometheus text format),
// written after every cycle; empty or absent writes none.
inline constexpr SettingKey MetricsFile    {"Options", "MetricsFile",    ValueKind::Text};
// Options: the folders; the numbered keys of the extra groups are Group(n).
inline constexpr SettingKey LocalInPath    {"Options", "LocalInPath",    ValueKind::Folder, "INBOX"};
inline constexpr SettingKey LocalOutPath   {"Options", "LocalOutPath",   ValueKind::Folder, "OUTBOX"};
inline constexpr SettingKey LocalBackupPath{"Options", "LocalBackupPath",ValueKind::Folder, "BACKUP"};
inline constexpr SettingKey LocalErrPath   {"Options", "LocalErrPath",   ValueKind::Folder, "ERROR"};
inline constexpr SettingKey LocalExPath    {"Options", "LocalExPath",    ValueKind::Folder, "EX"};
inline constexpr SettingKey RemoteInPath   {"Options", "RemoteInPath",   ValueKind::Text, "in"};
inline constexpr SettingKey RemoteOutPath  {"Options", "RemoteOutPath",  ValueKind::Text, "out"};
inline constexpr SettingKey RemoteExPath   {"Options", "RemoteExPath",   ValueKind::Text, "cuscar/ex"};
// Options: the programs run before each send and after each receive.
inline constexpr SettingKey ProgramRunBefore  {"Options", "ProgramRunBefore",   ValueKind::Text};
inline constexpr SettingKey ParameterRunBefore{"Options", "ParameterRunBefore", ValueKind::Text};
inline constexpr SettingKey RunBefore         {"Options", "RunBefore",          ValueKind::Flag};
inline constexpr SettingKey ExclusiveRunBefore{"Options", "ExclusiveRunBefore", ValueKind::Flag};
inline constexpr SettingKey ProgramRunAfter   {"Options", "ProgramRunAfter",    ValueKind::Text};
inline constexpr SettingKey ParameterRunAfter {"Options", "ParameterRunAfter",  ValueKind::Text};
inline constexpr SettingKey RunAfter          {"Options", "RunAfter",           ValueKind::Flag};
inline constexpr SettingKey ExclusiveRunAfter {"Options", "ExclusiveRunAfter",  ValueKind::Flag};
// Options: the language pack and the version the update script last ran for.
inline constexpr SettingKey Language       {"Options", "Language",       ValueKind::Text};
inline constexpr SettingKey LanguageFile   {"Options", "LanguageFile",   ValueKind::Text};
inline constexpr SettingKey VersionNumber  {"Options", "VersionNumber",  ValueKind::Text};
// System.
inline constexpr SettingKey LogStep        {"System",  "LogStep",        ValueKind::Text, "Month"};
inline constexpr SettingKey Message        {"System",  "Message",        ValueKind::Flag};
inline constexpr SettingKey AutoUpgrade    {"System",  "AutoUpgrade",    ValueKind::Flag};
inline constexpr SettingKey Expert         {"System",  "Expert",         ValueKind::Flag};
inline constexpr SettingKey NotifyFilesReceived{"System", "NotifyFilesReceived", ValueKind::FlagUnlessOff};
inline constexpr SettingKey NotifyCycleFailed{"System", "NotifyCycleFailed", ValueKind::FlagUnlessOff};
// View: written as the integers 1 and 0.
inline constexpr SettingKey StatusBar      {"View",    "StatusBar",      ValueKind::Flag};
inline constexpr SettingKey DebugView      {"View",    "DebugView",      ValueKind::Flag};
// Proxy: an absent ProxyType makes the settings read write the section with
// these absent values.
inline constexpr SettingKey ProxyType      {"Proxy",   "ProxyType",      ValueKind::Number, "0"};
inline constexpr SettingKey ProxyAuthentication{"Proxy","Authentication",ValueKind::Flag,   "0"};
inline constexpr SettingKey ProxyHost      {"Proxy",   "Host",           ValueKind::Text};
inline constexpr SettingKey ProxyPort      {"Proxy",   "Port",           ValueKind::Number, "0"};
inline constexpr SettingKey ProxyUserID    {"Proxy",   "UserID",         ValueKind::Text};
inline constexpr SettingKey ProxyPassword  {"Proxy",   "Password",       ValueKind::Cipher};
// KVTray: shared with the tray monitor.
inline constexpr SettingKey LogTimeOut     {"KVTray",  "LogTimeOut",     ValueKind::Number, "30"};
inline constexpr SettingKey KVTimeOut      {"KVTray",  "KVTimeOut",      ValueKind::Number, "120"};
inline constexpr SettingKey MustReBoot     {"KVTray",  "MustReBoot",     ValueKind::Flag};
// Ostrel: the companion service.
inline constexpr SettingKey EnableOstrel   {"Ostrel",  "EnableOstrel",   ValueKind::Flag};
// Default: the factory servers of the network types.
inline constexpr SettingKey DefaultInternet {"Default", "Internet",      ValueKind::Text};
inline constexpr SettingKey DefaultInterport{"Default", "Interport",     ValueKind::Number};
inline constexpr SettingKey DefaultLAN      {"Default", "LAN",           ValueKind::Text};
inline constexpr SettingKey DefaultLANport  {"Default", "LANport",       ValueKind::Number};
// clang-format on
} // namespace keys

// Every key above, in that order (the extra groups' keys are Group(n) of
// their main key).
std::span<const SettingKey* const> AllSettingKeys();

// The stored text ("" when absent).
std::string ReadSetting(const IniFile& ini, const SettingKey& key);
// A flag by its kind's rule (Flag, FlagUnlessOff, FlagWhenSet); other kinds
// count as Flag.
bool ReadFlag(const IniFile& ini, const SettingKey& key);
bool FlagOn(const SettingKey& key, const std::string& text);
// The profile integer read: leading digits, 0 when there are none.
int32_t ReadSettingInteger(const IniFile& ini, const SettingKey& key);
// The stored text, or the key's absent value when it is empty.
std::string ReadSettingOrAbsent(const IniFile& ini, const SettingKey& key);

void WriteSetting(IniFile& ini, const SettingKey& key, const std::string& value);
// "1" or "0".
void WriteFlag(IniFile& ini, const SettingKey& key, bool on);
// One value of an all-or-nothing write (IniFile::WriteStrings).
IniFile::Value SettingValue(const SettingKey& key, std::string value);
IniFile::Value FlagValue(const SettingKey& key, bool on);
// The text a flag is written as: "1" or "0".
inline const char* FlagText(bool on) {
    return on ? "1" : "0";
}

} // namespace kv
