#pragma once
// The settings file's keys in one table: each key's section and name, the
// kind of value it holds, what an absent (or empty) key stands for, the
// values it may hold and what a value outside them does. Every reader and
// writer of Korvane.ini names its keys from here, so a key is spelled once
// and how its value is taken is decided in one place (SettingsSnapshot
// applies the table's rules to a file read whole).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kv {

// How a stored value is taken.
enum class ValueKind {
    Text,          // as stored
    Number,        // decimal text
    Folder,        // a folder path; relative ones lie in the program folder
    Cipher,        // a password as hex cipher text
    Flag,          // on exactly when "1": absent, empty and any other text are off
    FlagUnlessOff, // off exactly when "0": absent and any other text are on
    FlagWhenSet,   // on when set to anything but "0" (blanks around it ignored)
};

// What a Number that is not a decimal integer within the key's range does.
enum class BadValue {
    Refuse,    // the read fails with a ConversionError naming the key
    UseAbsent, // the key's absent value is used instead, without a word
    Leading,   // the leading digits count (none: 0), as a profile integer read
};

struct SettingKey {
    constexpr SettingKey(std::string_view section_, std::string_view name_,
                         ValueKind kind_ = ValueKind::Text, std::string_view absent_ = {},
                         int64_t min_ = INT32_MIN, int64_t max_ = INT32_MAX,
                         BadValue bad_ = BadValue::Refuse)
        : section(section_), name(name_), kind(kind_), absent(absent_), min(min_), max(max_),
          bad(bad_) {}

    std::string_view section;
    std::string_view name;
    ValueKind kind = ValueKind::Text;
    // What an absent or empty value stands for where the program puts a
    // value in its place: the value written back or used instead, or for a
    // folder the name of the default folder in the program folder. Empty
    // when an empty value means just that (no host, no program, ...).
    std::string_view absent;
    // A Number's range and what a value outside it, or no number at all, does.
    int64_t min = INT32_MIN;
    int64_t max = INT32_MAX;
    BadValue bad = BadValue::Refuse;
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

// The table: X(constant, section, name, kind, absent, min, max, bad).
// clang-format off
#define KV_SETTING_KEYS(X) \
    /* Options: the connection and transfer options. */ \
    X(Host,             "Options", "Host",             Text,          "",          0, 0, Refuse) \
    X(Port,             "Options", "Port",             Number,        "",          INT32_MIN, INT32_MAX, Refuse) \
    X(UserID,           "Options", "UserID",           Text,          "",          0, 0, Refuse) \
    X(Password,         "Options", "Password",         Cipher,        "",          0, 0, Refuse) \
    X(NetType,          "Options", "NetType",          Text,          "",          0, 0, Refuse) \
    X(FileSender,       "Options", "FileSender",       Text,          "",          0, 0, Refuse) \
    X(TransferType,     "Options", "TransferType",     Text,          "ASCII",     0, 0, Refuse) \
    X(Passive,          "Options", "Passive",          Flag,          "",          0, 0, Refuse) \
    X(FTPS,             "Options", "FTPS",             FlagWhenSet,   "",          0, 0, Refuse) \
    X(FTPSCAFile,       "Options", "FTPSCAFile",       Text,          "",          0, 0, Refuse) \
    X(FTPSFingerprint,  "Options", "FTPSFingerprint",  Text,          "",          0, 0, Refuse) \
    /* The protocol ("FTP" or "SFTP"; absent or empty is FTP), SFTP's pinned */ \
    /* host key, key file and the key file's passphrase. */ \
    X(Protocol,         "Options", "Protocol",         Text,          "FTP",       0, 0, Refuse) \
    X(SFTPHostKey,      "Options", "SFTPHostKey",      Text,          "",          0, 0, Refuse) \
    X(SFTPKeyFile,      "Options", "SFTPKeyFile",      Text,          "",          0, 0, Refuse) \
    X(SFTPKeyPassword,  "Options", "SFTPKeyPassword",  Cipher,        "",          0, 0, Refuse) \
    /* Seconds a network wait may make no progress. */ \
    X(NetTimeOut,       "Options", "NetTimeOut",       Number,        "300",       1, 86400, UseAbsent) \
    X(WinXPFirewall,    "Options", "WinXPFirewall",    Flag,          "",          0, 0, Refuse) \
    X(CNC102,           "Options", "CNC102",           Flag,          "",          0, 0, Refuse) \
    X(AllowStartAuto,   "Options", "AllowStartAuto",   Flag,          "",          0, 0, Refuse) \
    X(AllowReceive,     "Options", "AllowReceive",     FlagUnlessOff, "",          0, 0, Refuse) \
    X(AllowSend,        "Options", "AllowSend",        FlagUnlessOff, "",          0, 0, Refuse) \
    /* Minutes as a decimal text (a fraction allowed), taken where it is used. */ \
    X(TimeInterval,     "Options", "TimeInterval",     Text,          "10",        0, 0, Refuse) \
    /* Seconds an outbox file must be unchanged before it is sent. */ \
    X(OutboxSettleTime, "Options", "OutboxSettleTime", Number,        "3",         0, 3600, UseAbsent) \
    /* Where the counters for monitoring go; empty writes none. */ \
    X(MetricsFile,      "Options", "MetricsFile",      Text,          "",          0, 0, Refuse) \
    /* The folders; the numbered keys of the extra groups are Group(n). */ \
    X(LocalInPath,      "Options", "LocalInPath",      Folder,        "INBOX",     0, 0, Refuse) \
    X(LocalOutPath,     "Options", "LocalOutPath",     Folder,        "OUTBOX",    0, 0, Refuse) \
    X(LocalBackupPath,  "Options", "LocalBackupPath",  Folder,        "BACKUP",    0, 0, Refuse) \
    X(LocalErrPath,     "Options", "LocalErrPath",     Folder,        "ERROR",     0, 0, Refuse) \
    X(LocalExPath,      "Options", "LocalExPath",      Folder,        "EX",        0, 0, Refuse) \
    X(RemoteInPath,     "Options", "RemoteInPath",     Text,          "in",        0, 0, Refuse) \
    X(RemoteOutPath,    "Options", "RemoteOutPath",    Text,          "out",       0, 0, Refuse) \
    X(RemoteExPath,     "Options", "RemoteExPath",     Text,          "cuscar/ex", 0, 0, Refuse) \
    /* The programs run before each send and after each receive. */ \
    X(ProgramRunBefore, "Options", "ProgramRunBefore", Text,          "",          0, 0, Refuse) \
    X(ParameterRunBefore,"Options","ParameterRunBefore",Text,         "",          0, 0, Refuse) \
    X(RunBefore,        "Options", "RunBefore",        Flag,          "",          0, 0, Refuse) \
    X(ExclusiveRunBefore,"Options","ExclusiveRunBefore",Flag,         "",          0, 0, Refuse) \
    X(ProgramRunAfter,  "Options", "ProgramRunAfter",  Text,          "",          0, 0, Refuse) \
    X(ParameterRunAfter,"Options", "ParameterRunAfter",Text,          "",          0, 0, Refuse) \
    X(RunAfter,         "Options", "RunAfter",         Flag,          "",          0, 0, Refuse) \
    X(ExclusiveRunAfter,"Options", "ExclusiveRunAfter",Flag,          "",          0, 0, Refuse) \
    /* The language pack and the version the update script last ran for. */ \
    X(Language,         "Options", "Language",         Text,          "",          0, 0, Refuse) \
    X(LanguageFile,     "Options", "LanguageFile",     Text,          "",          0, 0, Refuse) \
    X(VersionNumber,    "Options", "VersionNumber",    Text,          "",          0, 0, Refuse) \
    /* System. */ \
    X(LogStep,          "System",  "LogStep",          Text,          "Month",     0, 0, Refuse) \
    X(Message,          "System",  "Message",          Flag,          "",          0, 0, Refuse) \
    X(AutoUpgrade,      "System",  "AutoUpgrade",      Flag,          "",          0, 0, Refuse) \
    X(Expert,           "System",  "Expert",           Flag,          "",          0, 0, Refuse) \
    /* Desktop notifications of the window's tray icon. */ \
    X(NotifyFilesReceived,"System","NotifyFilesReceived",FlagUnlessOff,"",         0, 0, Refuse) \
    X(NotifyCycleFailed,"System",  "NotifyCycleFailed",FlagUnlessOff, "",          0, 0, Refuse) \
    /* View: written as the integers 1 and 0. */ \
    X(StatusBar,        "View",    "StatusBar",        Flag,          "",          0, 0, Refuse) \
    X(DebugView,        "View",    "DebugView",        Flag,          "",          0, 0, Refuse) \
    /* Proxy: an absent ProxyType makes the settings read write the section */ \
    /* with these absent values; a type other than 1 to 3 is no proxy. */ \
    X(ProxyType,        "Proxy",   "ProxyType",        Number,        "0",         INT32_MIN, INT32_MAX, Leading) \
    X(ProxyAuthentication,"Proxy", "Authentication",   Flag,          "0",         0, 0, Refuse) \
    X(ProxyHost,        "Proxy",   "Host",             Text,          "",          0, 0, Refuse) \
    X(ProxyPort,        "Proxy",   "Port",             Number,        "0",         INT32_MIN, INT32_MAX, Refuse) \
    X(ProxyUserID,      "Proxy",   "UserID",           Text,          "",          0, 0, Refuse) \
    X(ProxyPassword,    "Proxy",   "Password",         Cipher,        "",          0, 0, Refuse) \
    /* KVTray: shared with the tray monitor. */ \
    X(LogTimeOut,       "KVTray",  "LogTimeOut",       Number,        "30",        INT32_MIN, INT32_MAX, Refuse) \
    X(KVTimeOut,        "KVTray",  "KVTimeOut",        Number,        "120",       INT32_MIN, INT32_MAX, Refuse) \
    X(MustReBoot,       "KVTray",  "MustReBoot",       Flag,          "",          0, 0, Refuse) \
    /* Ostrel: the companion service. */ \
    X(EnableOstrel,     "Ostrel",  "EnableOstrel",     Flag,          "",          0, 0, Refuse) \
    /* Default: the factory servers of the network types. */ \
    X(DefaultInternet,  "Default", "Internet",         Text,          "",          0, 0, Refuse) \
    X(DefaultInterport, "Default", "Interport",        Number,        "",          INT32_MIN, INT32_MAX, Refuse) \
    X(DefaultLAN,       "Default", "LAN",              Text,          "",          0, 0, Refuse) \
    X(DefaultLANport,   "Default", "LANport",          Number,        "",          INT32_MIN, INT32_MAX, Refuse)
// clang-format on

namespace keys {
#define KV_SETTING_KEY_CONSTANT(id, section, name, kind, absent, min, max, bad)                    \
    inline constexpr SettingKey id{section, name, ValueKind::kind, absent, min, max, BadValue::bad};
KV_SETTING_KEYS(KV_SETTING_KEY_CONSTANT)
#undef KV_SETTING_KEY_CONSTANT
} // namespace keys

// Every key of the table, in its order (the extra groups' keys are Group(n)
// of their main key).
std::span<const SettingKey* const> AllSettingKeys();

// A flag by its kind's rule (Flag, FlagUnlessOff, FlagWhenSet); other kinds
// count as Flag.
bool FlagOn(const SettingKey& key, const std::string& text);
// The text a flag is written as: "1" or "0".
inline const char* FlagText(bool on) {
    return on ? "1" : "0";
}

} // namespace kv
