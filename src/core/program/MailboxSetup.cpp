// korvaned INIT's mailbox options: read, asked for, checked and written.
#include "program/MailboxSetup.h"

#include "app/Settings.h"
#include "config/SettingsKeys.h"
#include "config/SettingsWriter.h"
#include "config/WnDes.h"
#include "util/Fs.h"
#include "util/SafeText.h"
#include "util/Text.h"

#include <cctype>

namespace kv {

namespace {

struct OptionSlot {
    const char* name;
    std::optional<std::string> MailboxSetup::*value;
};

const OptionSlot kOptions[] = {
    {"--host", &MailboxSetup::host},
    {"--port", &MailboxSetup::port},
    {"--user", &MailboxSetup::user},
    {"--protocol", &MailboxSetup::protocol},
    {"--host-key", &MailboxSetup::hostKey},
    {"--ca-file", &MailboxSetup::caFile},
    {"--fingerprint", &MailboxSetup::fingerprint},
    {"--sender", &MailboxSetup::sender},
};

bool AllOf(const std::string& s, int (*test)(int)) {
    for (unsigned char c : s)
        if (!test(c))
            return false;
    return true;
}

int IsBase64Char(int c) {
    return std::isalnum(c) || c == '+' || c == '/' ? 1 : 0;
}

// A SHA-256 fingerprint as ssh-keygen -l -E sha256 prints it.
bool IsHostKeyFingerprint(const std::string& s) {
    return StartsWith(s, "SHA256:") && s.size() == 7 + 43 && AllOf(s.substr(7), IsBase64Char);
}

// 64 hex digits, colons ignored, as Options/FTPSFingerprint takes it.
bool IsCertificateFingerprint(const std::string& s) {
    std::string hex;
    for (char c : s)
        if (c != ':')
            hex += c;
    return hex.size() == 64 && AllOf(hex, std::isxdigit);
}

} // namespace

bool MailboxSetup::Any() const {
    for (const OptionSlot& o : kOptions)
        if ((this->*o.value).has_value())
            return true;
    return password.has_value();
}

std::string MailboxSetup::ProtocolName() const {
    return protocol ? UpperCase(Trim(*protocol)) : "FTP";
}

std::string ParseMailboxOptions(const std::vector<std::string>& words, MailboxSetup& setup,
                                std::vector<std::string>& folders) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--password-stdin") {
            setup.passwordFromStdin = true;
            continue;
        }
        if (!StartsWith(w, "-")) {
            folders.push_back(w);
            continue;
        }
        const OptionSlot* slot = nullptr;
        std::string value;
        bool inWord = false;
        for (const OptionSlot& o : kOptions) {
            const std::string name = o.name;
            if (w == name || StartsWith(w, name + "=")) {
                slot = &o;
                inWord = w.size() > name.size();
                if (inWord)
                    value = w.substr(name.size() + 1);
                break;
            }
        }
        if (!slot)
            return "unknown option '" + TerminalText(w) + "' for INIT";
        if (!inWord) {
            if (i + 1 >= words.size())
                return std::string("option ") + slot->name + " needs a value";
            value = words[++i];
        }
        if ((setup.*slot->value).has_value())
            return std::string("option ") + slot->name + " given twice";
        setup.*slot->value = value;
    }
    return "";
}

void AskMailboxSetup(MailboxSetup& setup, const AskLine& ask) {
    auto question = [&](std::optional<std::string>& value, const std::string& prompt,
                        bool secret = false) {
        if (value)
            return;
        std::optional<std::string> line = ask(prompt, secret);
        if (line && !Trim(*line).empty())
            value = secret ? *line : Trim(*line);
    };
    question(setup.host, "Server host name or address: ");
    question(setup.protocol, "Protocol, FTP, FTPS or SFTP [FTP]: ");
    if (!setup.protocol)
        setup.protocol = "FTP";
    const std::string protocol = setup.ProtocolName();
    question(setup.port, std::string("Port [") + (protocol == "SFTP" ? "22" : "21") + "]: ");
    question(setup.user, "User name: ");
    if (!setup.passwordFromStdin)
        question(setup.password, "Password: ", true);
    question(setup.sender, "Your sender identifier (Options/FileSender): ");
    if (protocol == "SFTP")
        question(setup.hostKey, "Server host key, SHA256:... as the centre gives it "
                                "(empty: pin it later): ");
    if (protocol == "FTPS")
        question(setup.fingerprint, "Server certificate SHA-256 fingerprint "
                                    "(empty: trust the system's certificate store): ");
}

std::string CheckMailboxSetup(const MailboxSetup& s) {
    const std::string protocol = s.ProtocolName();
    if (protocol != "FTP" && protocol != "FTPS" && protocol != "SFTP")
        return "--protocol must be FTP, FTPS or SFTP, not '" + TerminalText(*s.protocol) + "'";
    if (s.host && (Trim(*s.host).empty() || s.host->find_first_of(" \t") != std::string::npos))
        return "--host needs a host name or address without blanks, not '" + TerminalText(*s.host) +
               "'";
    if (s.port) {
        const std::optional<int64_t> port =
            AllOf(*s.port, std::isdigit) ? TryStrToInt64(*s.port) : std::nullopt;
        if (!port || *port < 1 || *port > 65535)
            return "--port needs a port number from 1 to 65535, not '" + TerminalText(*s.port) +
                   "'";
    }
    if (s.hostKey && protocol != "SFTP")
        return "--host-key pins an SFTP server's key; give --protocol SFTP with it";
    if (s.hostKey && !IsHostKeyFingerprint(*s.hostKey))
        return "--host-key needs the key's fingerprint as \"ssh-keygen -l -E sha256\" prints it "
               "(SHA256: and 43 characters), not '" +
               TerminalText(*s.hostKey) + "'";
    if ((s.caFile || s.fingerprint) && protocol != "FTPS")
        return std::string(s.caFile ? "--ca-file" : "--fingerprint") +
               " concerns FTPS; give --protocol FTPS with it";
    if (s.caFile && !FileExists(*s.caFile))
        return "--ca-file names no file: '" + TerminalText(*s.caFile) + "'";
    if (s.fingerprint && !IsCertificateFingerprint(*s.fingerprint))
        return "--fingerprint needs the certificate's SHA-256 fingerprint (64 hex digits, "
               "colons allowed), not '" +
               TerminalText(*s.fingerprint) + "'";
    if (s.password && s.password->find('\0') != std::string::npos)
        return "the password holds a NUL character, which cannot be stored";
    return "";
}

std::vector<std::string> WriteMailboxSetup(const std::string& iniPath, const MailboxSetup& s) {
    std::vector<IniFile::Value> values;
    std::vector<std::string> written;
    auto add = [&](const SettingKey& key, const std::string& value) {
        values.push_back(SettingValue(key, value));
        written.push_back(key.Path());
    };
    if (s.host) {
        add(keys::Host, Trim(*s.host));
        // The Basic Preferences dialog then shows this host, not a factory one.
        add(keys::NetType, "Custom");
    }
    if (s.protocol) {
        const std::string protocol = s.ProtocolName();
        add(keys::Protocol, protocol == "SFTP" ? "SFTP" : "FTP");
        add(keys::FTPS, FlagText(protocol == "FTPS"));
        if (!s.port)
            add(keys::Port, protocol == "SFTP" ? "22" : "21");
    }
    if (s.port)
        add(keys::Port, *s.port);
    if (s.user)
        add(keys::UserID, *s.user);
    if (s.password)
        add(keys::Password, EncryptToHex(*s.password, kPasswordKey));
    if (s.sender)
        add(keys::FileSender, UpperCase(Trim(*s.sender)));
    if (s.hostKey)
        add(keys::SFTPHostKey, *s.hostKey);
    if (s.caFile)
        add(keys::FTPSCAFile, AbsoluteFolder(*s.caFile));
    if (s.fingerprint)
        add(keys::FTPSFingerprint, *s.fingerprint);
    if (!values.empty())
        SettingsWriter(iniPath).Write(values);
    return written;
}

} // namespace kv
