// korvaned: Korvane without a window, linking the core only.
//   korvaned ONCE      one cycle, then exit (0 ok, 1 file errors, 2 no connection)
//   korvaned SRV       automatic mode until SIGTERM / SIGINT
//   korvaned PASSWORD  reads a password on stdin, prints its stored (hex) form
//   korvaned INIT [folder]  makes a program folder from the installed template
//   korvaned HISTORY, STATUS, CHECK  the transfer history and the last cycle's
//            status for scripts, people and monitoring
#include "app/Settings.h"
#include "config/WnDes.h"
#include "program/CompanionService.h"
#include "program/Headless.h"
#include "program/HistoryCommand.h"
#include "program/ProgramFolderInit.h"
#include "program/StatusCommands.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: korvaned ONCE | SRV | PASSWORD | INIT [folder]\n"
                 "       korvaned HISTORY [--since DATE] [--until DATE] [--match TEXT] "
                 "[--json|--csv]\n"
                 "       korvaned STATUS\n"
                 "       korvaned CHECK --warn DURATION --crit DURATION\n"
                 "  ONCE      connect, receive, send, disconnect once; exit 0 when all went well,\n"
                 "            1 when a file or folder step reported an error, 2 when it could not\n"
                 "            start or connect\n"
                 "  SRV       repeat the cycle every Options/TimeInterval minutes until SIGTERM\n"
                 "  PASSWORD  read a password from standard input and print the text to store\n"
                 "            as Options/Password or Proxy/Password in Korvane.ini\n"
                 "  INIT      make the folder (default $KORVANE_HOME) a program folder from the\n"
                 "            installed template; an existing program folder is left alone\n"
                 "  HISTORY   the transferred files, newest first (DATE as 2026-01-31)\n"
                 "  STATUS    what the last cycle did\n"
                 "  CHECK     a monitoring check on the age of the last good cycle and the\n"
                 "            last outcome (DURATION as 30m, 2h, 1d); exit 0 OK, 1 WARNING,\n"
                 "            2 CRITICAL, 3 UNKNOWN\n"
                 "  HISTORY, STATUS and CHECK take --folder DIR for another program folder.\n"
                 "The program folder is $KORVANE_HOME, else the folder of this executable\n"
                 "when it holds a Korvane.ini, else ~/.local/share/korvane (made at the first\n"
                 "start).\n"
                 "See korvaned(1).\n");
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
// its lock, so they run beside the window or the service.
int ReportCommand(std::vector<std::string> args) {
    const std::string word = kv::UpperCase(args[0]);
    args.erase(args.begin());
    std::string folder;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--folder" && i + 1 < args.size()) {
            folder = kv::AbsoluteFolder(args[i + 1]);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            break;
        }
    }
    if (folder.empty())
        folder = kv::ResolveProgramFolder(std::cerr);
    const std::time_t now = std::time(nullptr);
    if (word == "HISTORY")
        return kv::RunHistoryCommand(folder, args, std::cout, std::cerr);
    if (word == "STATUS") {
        if (!args.empty())
            return Usage();
        return kv::RunStatusCommand(folder, now, std::cout, std::cerr);
    }
    return kv::RunCheckCommand(folder, args, now, std::cout);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && kv::EqualsNoCase(args[0], "PASSWORD")) {
        std::string password;
        // Typed on a terminal, the password is not shown.
        struct termios& saved = gSavedTerminal;
        const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
        if (terminal) {
            for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
                ::signal(sig, RestoreTerminalAndDie);
            struct termios quiet = saved;
            quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
            quiet.c_lflag |= ECHONL;
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
            std::fprintf(stderr, "Password: ");
        }
        std::getline(std::cin, password);
        if (terminal)
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
        try {
            std::cout << kv::EncryptToHex(password, kv::kPasswordKey) << "\n";
        } catch (const kv::KvError& e) {
            std::fprintf(stderr, "korvaned: %s\n", e.what());
            return 2;
        }
        return 0;
    }
    if (!args.empty() && args.size() <= 2 && kv::EqualsNoCase(args[0], "INIT")) {
        const char* home = std::getenv("KORVANE_HOME");
        std::string folder = args.size() == 2 ? args[1] : (home ? home : "");
        if (folder.empty())
            return Usage();
        return kv::InitProgramFolder(folder, kv::FindProgramTemplate(), std::cout, std::cerr);
    }
    if (!args.empty() &&
        (kv::EqualsNoCase(args[0], "HISTORY") || kv::EqualsNoCase(args[0], "STATUS") ||
         kv::EqualsNoCase(args[0], "CHECK")))
        return ReportCommand(args);
    if (!kv::WantsHeadlessRun(args, false))
        return Usage();
    return kv::RunLoggedHeadless(kv::ResolveProgramFolder(std::cerr), args);
}
