// korvaned TEST: a connection and the folders' contents, looked at only.
#include "program/MailboxTest.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "config/SettingsSnapshot.h"
#include "engine/Engine.h"
#include "logging/Logs.h"
#include "program/ProgramFolderInit.h"
#include "remote/RemoteSession.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/SafeText.h"
#include "util/Text.h"

#include <csignal>
#include <optional>
#include <vector>

namespace kv {

namespace {

// Keeps the lines the session and the engine report, and refuses a host
// key no setting pins, remembering it (a test never pins anything).
class TestHost : public Host {
public:
    void AddLogViewLine(const std::string& line) override { lines.push_back(line); }
    void FtpTrace(const std::string& line) override {
        // "<time> TLS: TLSv1.3, cipher ....", as the session traces its handshake.
        if (const size_t at = line.find("TLS: "); at != std::string::npos && tls.empty()) {
            tls = Trim(line.substr(at + 5));
            if (!tls.empty() && tls.back() == '.')
                tls.pop_back();
        }
    }
    bool ConfirmHostKey(const std::string&, const std::string& fingerprint,
                        const std::string&) override {
        offeredHostKey = fingerprint;
        return false;
    }
    std::vector<std::string> lines;
    std::string tls;
    std::string offeredHostKey;
};

struct RemoteFile {
    std::string name;
    int64_t size = -1;
};

// The plain files of a remote folder. The one place that reads a listing:
// whatever form the session gives its entries in, only this changes.
std::vector<RemoteFile> ListRemoteFiles(RemoteSession& s, const std::string& folder) {
    std::vector<RemoteFile> files;
    // As a cycle lists it: "*.*" first, then the rest of the folder.
    for (const RemoteEntry& e : s.ListFolder(folder, "*.*").entries)
        if (e.kind == RemoteKind::File && IsUsableListingName(e.name))
            files.push_back({e.name, e.size});
    return files;
}

// What to change for a connection that failed with these lines.
std::string ConnectAdvice(const std::string& text, const Settings& s) {
    const std::string lower = LowerCase(text);
    if (lower.find("protocol") != std::string::npos && lower.find("neither") != std::string::npos)
        return "Set Options/Protocol to FTP or SFTP (FTPS is FTP with Options/FTPS=1).";
    if (lower.find("host key") != std::string::npos)
        return "Check the server's host key with the centre, then set Options/SFTPHostKey.";
    if (lower.find("certificate") != std::string::npos || lower.find("tls") != std::string::npos)
        return "Check Options/FTPS, and how the certificate is trusted: "
               "Options/FTPSFingerprint (its SHA-256) or Options/FTPSCAFile (a PEM file).";
    if (text.find("530") != std::string::npos || lower.find("login") != std::string::npos ||
        lower.find("authentica") != std::string::npos || lower.find("denied") != std::string::npos)
        return s.SFTPKeyFile.empty()
                   ? "Check Options/UserID and Options/Password (store what korvaned "
                     "PASSWORD prints)."
                   : "Check Options/UserID, Options/SFTPKeyFile and Options/SFTPKeyPassword.";
    if (text.find("11001") != std::string::npos ||
        lower.find("host not found") != std::string::npos)
        return "Check Options/Host: the name is not known.";
    if (s.ProxyType != 0)
        return "Check Options/Host and Options/Port, and the proxy: Proxy/Host, Proxy/Port, "
               "Proxy/ProxyType.";
    return "Check Options/Host and Options/Port (and Options/NetTimeOut for a slow server).";
}

std::string Security(const AppState& state, const TestHost& host) {
    const Settings& s = state.settings;
    if (s.Sftp())
        return "SFTP; the server's host key is the one pinned in Options/SFTPHostKey: " +
               s.SFTPHostKey;
    if (!s.FTPS)
        return "plain FTP: the password and the files travel unencrypted (Options/FTPS=1 "
               "requires TLS)";
    std::string text = "FTPS, " + (host.tls.empty() ? std::string("TLS") : host.tls) + "; ";
    if (!s.FTPSFingerprint.empty())
        return text +
               "the certificate is the one pinned in Options/FTPSFingerprint: " + s.FTPSFingerprint;
    if (!s.FTPSCAFile.empty())
        return text + "the certificate is trusted through Options/FTPSCAFile " + s.FTPSCAFile;
    return text + "the certificate is trusted through the system's certificate store";
}

// A remote folder the cycle uses, entered and left; false (with the line
// naming the key) when it cannot be entered.
bool RemoteFolderExists(RemoteSession& s, const std::string& home, const std::string& folder,
                        const std::string& key, std::ostream& out) {
    try {
        s.ChangeDir(folder);
        s.ChangeDir(home);
        return true;
    } catch (const std::exception& e) {
        out << "FAILED: the remote folder " << TerminalText(folder) << " (" << key
            << ") cannot be entered: " << TerminalText(FirstCrLfToBlank(e.what())) << ". Set "
            << key << " to a folder of the server.\n";
        try {
            s.ChangeDir(home);
        } catch (...) {
        }
        return false;
    }
}

std::string Plural(size_t n, const char* one) {
    return IntToStr(static_cast<int64_t>(n)) + " " + one + (n == 1 ? "" : "s");
}

// The folder checks and listings of a logged-in session; true when all passed.
bool CheckFolders(AppState& state, const CycleSettings& c, RemoteSession& s, std::ostream& out) {
    bool ok = true;
    const std::string home = s.RetrieveCurrentDir();
    out << "The server starts the user in " << TerminalText(home) << ".\n";
    for (const FolderPair& p : c.receivePairs) {
        const std::string key = p.KeyPath(keys::RemoteOutPath);
        if (!RemoteFolderExists(s, home, p.remote, key, out)) {
            ok = false;
            continue;
        }
        if (!c.allowReceive) {
            out << "Receiving is off (Options/AllowReceive=0): nothing would be received from "
                << TerminalText(p.remote) << ".\n";
            continue;
        }
        try {
            const std::vector<RemoteFile> files = ListRemoteFiles(s, p.remote);
            int64_t bytes = 0;
            for (const RemoteFile& f : files)
                bytes += f.size > 0 ? f.size : 0;
            out << "Would receive " << Plural(files.size(), "file") << " (" << bytes
                << " bytes) from " << TerminalText(p.remote) << " into "
                << TerminalText(FolderInProgram(state.ProgramDir, p.local)) << ":\n";
            for (const RemoteFile& f : files)
                out << "  " << TerminalText(f.name) << "  " << f.size << "\n";
        } catch (const std::exception& e) {
            out << "FAILED: the remote folder " << TerminalText(p.remote) << " (" << key
                << ") cannot be listed: " << TerminalText(FirstCrLfToBlank(e.what())) << ".\n";
            ok = false;
        }
    }
    if (!c.sendPairs.empty() || c.cnc102)
        ok =
            RemoteFolderExists(s, home, "tmp", "the folder tmp beside Options/RemoteInPath", out) &&
            ok;
    for (const FolderPair& p : c.sendPairs) {
        if (!RemoteFolderExists(s, home, p.remote, p.KeyPath(keys::RemoteInPath), out))
            ok = false;
        const std::string local = FolderInProgram(state.ProgramDir, p.local);
        if (!c.allowSend) {
            out << "Sending is off (Options/AllowSend=0): nothing would be sent from "
                << TerminalText(local) << ".\n";
            continue;
        }
        if (!DirectoryExists(local)) {
            out << "FAILED: the outbox " << TerminalText(local) << " ("
                << p.KeyPath(keys::LocalOutPath)
                << ") does not exist. Make it, or set the key to an existing folder.\n";
            ok = false;
            continue;
        }
        const std::vector<OutboxFile> files = ListOutbox(local);
        int64_t bytes = 0;
        for (const OutboxFile& f : files)
            bytes += f.Size;
        out << "Would send " << Plural(files.size(), "file") << " (" << bytes << " bytes) from "
            << TerminalText(local) << " into " << TerminalText(p.remote)
            << " (each checked for the sender " << TerminalText(c.record.FileSender)
            << " first):\n";
        for (const OutboxFile& f : files)
            out << "  " << TerminalText(f.Name) << "  " << f.Size << "\n";
    }
    if (c.cnc102) {
        const std::string dest = c.remoteExPath.empty() ? "in" : c.remoteExPath;
        ok = RemoteFolderExists(s, home, dest, "Options/RemoteExPath", out) && ok;
    }
    return ok;
}

} // namespace

int RunMailboxTest(const std::string& programDir, std::ostream& out, std::ostream& err) {
    if (!IsProgramFolder(programDir) || !FileExists(JoinPath(programDir, "Korvane.ini"))) {
        err << "korvaned: " << NotAProgramFolder(programDir) << "\n";
        return 2;
    }
    AppState state;
    state.ProgramDir = programDir;
    state.IniPath = JoinPath(programDir, "Korvane.ini");
    // Nothing is uploaded about the machine, nothing asked, nothing logged
    // (no log is opened), and the trace is read for the TLS version.
    state.InfoFilePending = false;
    state.MessageBoxesAllowed = false;
    state.TraceWanted = true;
    TestHost host;
    state.host = &host;
    ::signal(SIGPIPE, SIG_IGN);
    std::optional<CycleSettings> cycle;
    try {
        SettingsSnapshot file = SettingsSnapshot::Read(state.IniPath);
        // A new folder first hears what it lacks most.
        if (Trim(file.Text(keys::Host)).empty()) {
            err << "korvaned: Options/Host is empty in " << TerminalText(state.IniPath)
                << ": set the server (korvaned INIT --folder " << TerminalText(programDir)
                << " --host NAME ...).\n";
            return 2;
        }
        LoadSettings(state, file);
        cycle.emplace(CycleSettingsFrom(state, std::move(file)));
    } catch (const std::exception& e) {
        err << "korvaned: the settings in " << TerminalText(state.IniPath)
            << " cannot be used: " << TerminalText(e.what())
            << "\nA password key (Options/Password, Options/SFTPKeyPassword, Proxy/Password) "
               "holds what korvaned PASSWORD prints; see korvane.ini(5) for every key.\n";
        return 2;
    }
    // A main folder the start-up has not written yet is its default folder.
    const auto addDefault = [&](std::vector<FolderPair>& pairs, const SettingKey& remote,
                                const SettingKey& local) {
        if (cycle->file.Text(local).empty() && !cycle->file.Text(remote).empty())
            pairs.insert(pairs.begin(),
                         FolderPair{cycle->file.Text(remote), std::string(local.absent), 0});
    };
    addDefault(cycle->receivePairs, keys::RemoteOutPath, keys::LocalInPath);
    addDefault(cycle->sendPairs, keys::RemoteInPath, keys::LocalOutPath);
    const Settings& s = state.settings;
    out << "Connecting to " << TerminalText(s.Host) << " port " << s.Port << " as "
        << TerminalText(s.UserID) << " ("
        << (s.Sftp() ? "SFTP"
            : s.FTPS ? "FTPS"
                     : "FTP")
        << ")...\n";
    if (!ConnectSession(state, *cycle) || !state.FtpSession) {
        std::string text;
        for (const std::string& line : host.lines)
            if (LineBody(line).find("ERROR:") != std::string_view::npos)
                text += std::string(LineBody(line)) + " ";
        out << "FAILED: could not connect: " << TerminalText(Trim(text)) << "\n";
        if (!host.offeredHostKey.empty())
            out << "The server offered the host key " << TerminalText(host.offeredHostKey)
                << "; once the centre confirms it, set Options/SFTPHostKey="
                << TerminalText(host.offeredHostKey) << ".\n";
        else
            out << ConnectAdvice(text, s) << "\n";
        return 2;
    }
    out << "Logged in. Security: " << TerminalText(Security(state, host)) << ".\n";
    bool ok = false;
    try {
        ok = CheckFolders(state, *cycle, *state.FtpSession, out);
    } catch (const std::exception& e) {
        out << "FAILED: the connection broke: " << TerminalText(FirstCrLfToBlank(e.what())) << "\n";
    }
    DisconnectSession(state);
    out << (ok ? "All checks passed; nothing was changed.\n"
               : "Some checks failed (see above); nothing was changed.\n");
    return ok ? 0 : 1;
}

} // namespace kv
