// korvaned: Korvane without a window, linking the core only.
//   korvaned ONCE      one cycle, then exit (0 ok, 1 file errors, 2 no connection)
//   korvaned SRV       automatic mode until SIGTERM / SIGINT
//   korvaned PASSWORD  reads a password on stdin, prints its stored (hex) form
//   korvaned INIT [folder] [--host ...]  makes a program folder from the
//            installed template and writes the mailbox's essentials
//   korvaned TEST      tries the settings against the server, changing nothing
//   korvaned HISTORY, STATUS, CHECK  the transfer history and the last cycle's
//            status for scripts, people and monitoring
// Every command takes --folder DIR; --help and --version print and end.
#include "app/Settings.h"
#include "config/WnDes.h"
#include "program/CommandLine.h"
#include "program/CompanionService.h"
#include "program/Headless.h"
#include "program/HistoryCommand.h"
#include "program/MailboxSetup.h"
#include "program/MailboxTest.h"
#include "program/ProgramFolderInit.h"
#include "program/StatusCommands.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/SafeText.h"
#include "util/Text.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kUsage =
    "usage: korvaned COMMAND [--folder DIR] [options]\n"
    "       korvaned ONCE | SRV | PASSWORD | TEST\n"
    "       korvaned INIT [DIR] [--host HOST] [--port N] [--user NAME] [--password-stdin]\n"
    "                [--protocol FTP|FTPS|SFTP] [--host-key SHA256:...] [--ca-file PEM]\n"
    "                [--fingerprint SHA256-HEX] [--sender ID]\n"
    "       korvaned HISTORY [--since DATE] [--until DATE] [--match TEXT] [--json|--csv]\n"
    "       korvaned STATUS\n"
    "       korvaned CHECK --warn DURATION --crit DURATION\n"
    "       korvaned --help | --version\n"
    "  ONCE      connect, receive, send, disconnect once; exit 0 when all went well,\n"
    "            1 when a file or folder step reported an error, 2 when it could not\n"
    "            start or connect (the reason on standard error)\n"
    "  SRV       repeat the cycle every Options/TimeInterval minutes until SIGTERM\n"
    "  PASSWORD  read a password from standard input and print the text to store\n"
    "            as Options/Password or Proxy/Password in Korvane.ini\n"
    "  INIT      make the folder (DIR, --folder, else $KORVANE_HOME) a program folder\n"
    "            from the installed template; an existing program folder is left alone.\n"
    "            The options write the mailbox's essentials into its Korvane.ini; on a\n"
    "            terminal the missing ones are asked for (the password without echo)\n"
    "  TEST      connect, log in, check the remote folders and list what the next\n"
    "            cycle would receive and send, then disconnect, changing nothing;\n"
    "            exit 0 all well, 1 a folder check failed, 2 no connection\n"
    "  HISTORY   the transferred files, newest first (DATE as 2026-01-31)\n"
    "  STATUS    what the last cycle did\n"
    "  CHECK     a monitoring check on the age of the last good cycle and the\n"
    "            last outcome (DURATION as 30m, 2h, 1d; at most 3650d); exit 0 OK,\n"
    "            1 WARNING, 2 CRITICAL, 3 UNKNOWN\n"
    "  --folder DIR  the program folder to work in, for every command.\n"
    "The program folder is otherwise $KORVANE_HOME, else the folder of this executable\n"
    "when it holds a Korvane.ini, else ~/.local/share/korvane (made at the first\n"
    "ONCE or SRV; HISTORY, STATUS, CHECK and TEST only read and never make a folder).\n"
    "See korvaned(1).\n";

// A command line that cannot be run: the word named, exit 2.
int Refuse(const std::string& why) {
    std::fprintf(stderr, "korvaned: %s\nRun korvaned --help for the commands and options.\n",
                 why.c_str());
    return 2;
}

// The terminal's settings before the password prompt, restored by a signal
// that ends the program during the read (Ctrl-C would leave echo off).
struct termios gSavedTerminal {};

void RestoreTerminalAndDie(int sig) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTerminal);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// HISTORY, STATUS and CHECK: they read the program folder and never take
// its lock, so they run beside the window or the service; they never make a
// program folder where none is.
int ReportCommand(const kv::CommandLine& line) {
    const std::string folder =
        line.folder.empty() ? kv::ResolveProgramFolder(std::cerr, false) : line.folder;
    const std::time_t now = std::time(nullptr);
    if (line.command == "HISTORY")
        return kv::RunHistoryCommand(folder, line.rest, std::cout, std::cerr);
    if (line.command == "STATUS") {
        if (!line.rest.empty())
            return Refuse(kv::UnexpectedWord("STATUS", line.rest[0]));
        return kv::RunStatusCommand(folder, now, std::cout, std::cerr);
    }
    return kv::RunCheckCommand(folder, line.rest, now, std::cout);
}

// One line of standard input, without its line end; nothing at its end.
// On a terminal the prompt goes to standard error and a secret is not shown.
std::optional<std::string> ReadInputLine(const std::string& prompt, bool secret) {
    struct termios& saved = gSavedTerminal;
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal && secret) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            ::signal(sig, RestoreTerminalAndDie);
        struct termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    if (terminal)
        std::fprintf(stderr, "%s", prompt.c_str());
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (terminal && secret)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (!read && line.empty())
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

int PasswordCommand() {
    const std::string password = ReadInputLine("Password: ", true).value_or("");
    try {
        std::cout << kv::EncryptToHex(password, kv::kPasswordKey) << "\n";
    } catch (const kv::KvError& e) {
        std::fprintf(stderr, "korvaned: %s\n", e.what());
        return 2;
    }
    return 0;
}

// INIT: the folder from the template, then the mailbox's essentials given
// as options, read (the password with --password-stdin) or asked for on a
// terminal, all checked before anything is made.
int InitCommand(const kv::CommandLine& line) {
    std::string folder = line.folder;
    kv::MailboxSetup setup;
    std::vector<std::string> folders;
    if (std::string why = kv::ParseMailboxOptions(line.rest, setup, folders); !why.empty())
        return Refuse(why);
    // One folder at most, given once.
    const size_t folderWords = folder.empty() ? 1 : 0;
    if (folders.size() > folderWords)
        return Refuse(kv::UnexpectedWord("INIT", folders[folderWords]));
    if (folder.empty() && !folders.empty())
        folder = kv::AbsoluteFolder(folders[0]);
    if (const char* home = std::getenv("KORVANE_HOME"); folder.empty() && home)
        folder = home;
    if (folder.empty())
        return Refuse("INIT needs the folder to make: korvaned INIT DIR (or --folder DIR, or "
                      "KORVANE_HOME)");
    if (setup.passwordFromStdin)
        setup.password = ReadInputLine("Password: ", true).value_or("");
    // On a terminal a new folder, or one given values, is set up by questions.
    const bool terminal = ::isatty(STDIN_FILENO) && !setup.passwordFromStdin;
    if (terminal && (setup.Any() || !kv::IsProgramFolder(folder))) {
        std::fprintf(stderr,
                     "Setting up the mailbox of %s (Enter keeps what is shown in "
                     "brackets or leaves a setting empty).\n",
                     kv::TerminalText(folder).c_str());
        kv::AskMailboxSetup(setup, ReadInputLine);
    }
    if (std::string why = kv::CheckMailboxSetup(setup); !why.empty())
        return Refuse(why);
    const int made = kv::InitProgramFolder(folder, kv::FindProgramTemplate(), std::cout, std::cerr);
    if (made != 0 || !setup.Any())
        return made;
    const std::string ini = kv::JoinPath(folder, "Korvane.ini");
    try {
        const std::vector<std::string> written = kv::WriteMailboxSetup(ini, setup);
        std::cout << "Wrote into " << kv::TerminalText(ini) << ":";
        for (const std::string& key : written)
            std::cout << " " << key;
        std::cout << "\nTry it without changing anything: korvaned TEST --folder "
                  << kv::TerminalText(folder) << "\n";
    } catch (const kv::KvError& e) {
        std::fprintf(stderr,
                     "korvaned: %s\nThe settings were not changed; fix the cause and "
                     "run korvaned INIT again.\n",
                     e.what());
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const kv::CommandLine line =
        kv::ParseCommandLine({argv + 1, argv + argc}, kv::KorvanedCommands());
    if (!line.refusal.empty() && line.command == "CHECK") {
        // A monitoring system reads 2 as CRITICAL: a check it cannot run is UNKNOWN.
        std::printf("KORVANE UNKNOWN - %s\n", line.refusal.c_str());
        return 3;
    }
    if (!line.refusal.empty())
        return Refuse(line.refusal);
    if (line.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (line.version) {
        std::printf("korvaned %s\n", KORVANE_VERSION);
        return 0;
    }
    if (line.command.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (line.command == "PASSWORD") {
        if (!line.rest.empty())
            return Refuse(kv::UnexpectedWord("PASSWORD", line.rest[0]));
        return PasswordCommand();
    }
    if (line.command == "INIT")
        return InitCommand(line);
    if (line.command == "HISTORY" || line.command == "STATUS" || line.command == "CHECK")
        return ReportCommand(line);
    if (line.command == "TEST") {
        if (!line.rest.empty())
            return Refuse(kv::UnexpectedWord("TEST", line.rest[0]));
        const std::string folder =
            line.folder.empty() ? kv::ResolveProgramFolder(std::cerr, false) : line.folder;
        return kv::RunMailboxTest(folder, std::cout, std::cerr);
    }
    // ONCE and SRV
    if (!line.rest.empty())
        return Refuse(kv::UnexpectedWord(line.command, line.rest[0]));
    // Programs the run starts (hooks) see the folder it serves.
    if (!line.folder.empty())
        ::setenv("KORVANE_HOME", line.folder.c_str(), 1);
    const std::string folder =
        line.folder.empty() ? kv::ResolveProgramFolder(std::cerr) : line.folder;
    return kv::RunLoggedHeadless(folder, {line.command});
}
