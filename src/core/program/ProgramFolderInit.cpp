#include "program/ProgramFolderInit.h"

#include "util/Errors.h"
#include "util/Fs.h"
#include "util/SafeText.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

const char* const kWorkFolders[] = {"INBOX", "OUTBOX", "BACKUP", "ERROR", "TMP", "LOG"};
const char* const kServiceStateRoot = "/var/lib/korvane/";

bool HoldsSettings(const std::string& folder) {
    return FileExists(JoinPath(folder, "Korvane.ini")) || FileExists(JoinPath(folder, "kvini.bak"));
}

void CopyIfMissing(const std::string& src, const std::string& dst) {
    if (!FileExists(dst))
        CopyFileSafe(src, dst, false);
}

void MakeFolder(const std::string& path) {
    if (!ForceDirectories(path))
        throw FileError("Cannot create the folder " + path + ": " + ErrnoText(errno));
}

void PrintNextSteps(const std::string& folder, std::ostream& out) {
    out << "Next steps (korvaned INIT with --host, --user, --protocol ... does 1 and 2):\n"
        << "  1. Set the mailbox in " << JoinPath(folder, "Korvane.ini")
        << ": Options/Host (and Port), Options/UserID, Options/FileSender.\n"
        << "  2. Run korvaned PASSWORD, type the password, and store the printed text\n"
        << "     as Options/Password.\n"
        << "     An FTPS mailbox (FTP over TLS): also Options/FTPS=1, and when the\n"
        << "     server's certificate is not in the system's store either\n"
        << "     Options/FTPSFingerprint=<its SHA-256 fingerprint, 64 hex digits> or\n"
        << "     Options/FTPSCAFile=/path/to/the-centre-ca.pem.\n"
        << "     An SFTP mailbox: also Options/Protocol=SFTP (Port 22 when empty) and\n"
        << "     Options/SFTPHostKey=SHA256:... , the server's host key as\n"
        << "     \"ssh-keygen -l -E sha256\" prints it (ask the centre for it); for a key\n"
        << "     login Options/SFTPKeyFile=/path/to/key and, for its passphrase, the\n"
        << "     printed text of korvaned PASSWORD as Options/SFTPKeyPassword.\n"
        << "     Every key is described in korvane.ini(5).\n"
        << "  3. Check the settings without changing anything: korvaned TEST --folder " << folder
        << "\n"
        << "  4. Run one cycle: korvaned ONCE --folder " << folder << "\n";
    if (folder.rfind(kServiceStateRoot, 0) == 0 &&
        folder.find('/', std::string(kServiceStateRoot).size()) == std::string::npos)
        out << "  5. Serve it: systemctl enable --now korvaned@"
            << folder.substr(std::string(kServiceStateRoot).size()) << "\n";
    else
        out << "  5. Serve it: korvaned SRV --folder " << folder << "\n";
}

std::string UserProgramFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/')
        return JoinPath(data, "korvane");
    // Without $HOME, the account's home; never a folder other users can write.
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir)
            home = pw->pw_dir;
    return AbsoluteFolder(
        JoinPath(JoinPath(home && *home ? home : ".", ".local/share"), "korvane"));
}

} // namespace

bool IsProgramFolder(const std::string& folder) {
    return HoldsSettings(folder);
}

std::string NotAProgramFolder(const std::string& folder) {
    return TerminalText(folder) + " is not a program folder (" +
           (DirectoryExists(folder) ? "no Korvane.ini in it" : "no such folder") +
           "); name one with --folder or KORVANE_HOME, or make it with korvaned INIT";
}

std::string ResolveProgramFolder(std::ostream& err, bool makeUserFolder) {
    const std::string folder = ProgramFolder();
    const char* home = std::getenv("KORVANE_HOME");
    if ((home && *home) || HoldsSettings(folder))
        return folder;
    const std::string templateDir = FindProgramTemplate();
    if (templateDir.empty() || templateDir == folder)
        return folder;
    const std::string user = UserProgramFolder();
    if (makeUserFolder && !HoldsSettings(user)) {
        std::ostringstream made;
        InitProgramFolder(user, templateDir, made, err);
    }
    return user;
}

std::string FindProgramTemplate() {
    const std::string exe = RunningExecutablePath();
    if (exe.empty())
        return "";
    const std::string bin = FolderOf(exe);
    for (const std::string& candidate : {JoinPath(FolderOf(bin), "share/korvane"), bin})
        if (FileExists(JoinPath(candidate, "Korvane.ini")))
            return candidate;
    return "";
}

int InitProgramFolder(const std::string& folderArg, const std::string& templateDir,
                      std::ostream& out, std::ostream& err) {
    const std::string folder = AbsoluteFolder(folderArg);
    if (HoldsSettings(folder)) {
        out << folder << " is a program folder already; nothing changed.\n";
        return 0;
    }
    if (templateDir.empty() || !FileExists(JoinPath(templateDir, "Korvane.ini"))) {
        err << "korvaned: no program template found (share/korvane beside the bin folder "
               "of korvaned); reinstall the package.\n";
        return 2;
    }
    try {
        MakeFolder(folder);
        const std::string languages = JoinPath(folder, "Language");
        MakeFolder(languages);
        for (const auto& name : ListFolder(JoinPath(templateDir, "Language"), "kv*.ini"))
            CopyIfMissing(JoinPath(JoinPath(templateDir, "Language"), name),
                          JoinPath(languages, name));
        for (const char* work : kWorkFolders)
            MakeFolder(JoinPath(folder, work));
        // The settings file last: its presence marks a finished program folder.
        const std::string settings = JoinPath(folder, "Korvane.ini");
        CopyIfMissing(JoinPath(templateDir, "Korvane.ini"), settings);
        if (::chmod(settings.c_str(), 0600) != 0)
            throw FileError("Cannot restrict access to " + settings + ": " + ErrnoText(errno));
    } catch (const KvError& e) {
        err << "korvaned: " << e.what() << "\nNothing existing was changed; fix the cause and "
            << "run korvaned INIT " << folder << " again.\n";
        return 2;
    }
    out << "Made the program folder " << folder << " from " << templateDir << ".\n";
    PrintNextSteps(folder, out);
    return 0;
}

} // namespace kv
