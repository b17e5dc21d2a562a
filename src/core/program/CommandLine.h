#pragma once
// The command lines of korvaned and of the window's headless runs: a command
// word (any letter case), the options every command takes (--folder DIR,
// --help, --version), and the words left for the command. Unknown commands,
// options and extra words are refused with the word named, so a typo never
// runs another mailbox or starts a service.
#include <string>
#include <vector>

namespace kv {

struct CommandLine {
    std::string command;           // upper case; empty when none was given
    std::string folder;            // --folder DIR made absolute; empty without
    std::vector<std::string> rest; // the words after the command, options kept
    bool help = false;             // --help or -h: the usage on standard output
    bool version = false;          // --version
    std::string refusal;           // why the line is refused; empty when it is not
};

// The commands korvaned knows.
const std::vector<std::string>& KorvanedCommands();

// Reads the words after the program's name. A word before the command that
// starts with '-' and is no common option is refused, as is a command not
// in commands (when the list is not empty) and a second --folder.
CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<std::string>& commands);

// The refusal of a word the command does not take: "unknown option
// '--typo'" for an option, "unexpected argument 'x'" otherwise.
std::string UnexpectedWord(const std::string& command, const std::string& word);

} // namespace kv
