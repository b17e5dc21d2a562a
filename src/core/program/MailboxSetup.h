#pragma once
// The essentials of a mailbox that korvaned INIT takes as options or asks
// for on a terminal: the server, the protocol with its pinned key or
// certificate, the login and the own sender, checked before anything is
// made and written into Korvane.ini in one write.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kv {

struct MailboxSetup {
    std::optional<std::string> host, port, user, protocol, hostKey, caFile, fingerprint, sender;
    std::optional<std::string> password; // in clear, enciphered when written
    bool passwordFromStdin = false;      // --password-stdin

    // True when any value was given (or answered).
    bool Any() const;
    // The protocol as written to the settings: "FTP", "FTPS" or "SFTP"
    // (upper case); "FTP" when none was given.
    std::string ProtocolName() const;
};

// Reads INIT's words: its options into setup, the other words into
// folders. Returns why the words are refused, naming the word; empty when
// they are not.
std::string ParseMailboxOptions(const std::vector<std::string>& words, MailboxSetup& setup,
                                std::vector<std::string>& folders);

// Asks for each essential not given yet. ask(prompt, secret) returns the
// line typed (empty keeps the value shown in brackets, or leaves the
// setting as it is), nothing at the end of the input.
using AskLine = std::function<std::optional<std::string>(const std::string& prompt, bool secret)>;
void AskMailboxSetup(MailboxSetup& setup, const AskLine& ask);

// Why the values cannot be written, naming the option; empty when they can.
std::string CheckMailboxSetup(const MailboxSetup& setup);

// Writes the given values into the settings file at iniPath, all or none
// (throws IniError or KvError). A protocol given without a port also
// writes its usual port (21, or 22 for SFTP). Returns the keys written.
std::vector<std::string> WriteMailboxSetup(const std::string& iniPath, const MailboxSetup& setup);

} // namespace kv
