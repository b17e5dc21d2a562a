// Command lines: the command word, the common options, and refusals that
// name the word.
#include "program/CommandLine.h"

#include "util/Fs.h"
#include "util/SafeText.h"
#include "util/Text.h"

#include <algorithm>

namespace kv {

const std::vector<std::string>& KorvanedCommands() {
    static const std::vector<std::string> commands{"ONCE",    "SRV",    "PASSWORD", "INIT",
                                                   "HISTORY", "STATUS", "CHECK",    "TEST"};
    return commands;
}

std::string UnexpectedWord(const std::string& command, const std::string& word) {
    return (StartsWith(word, "-") ? "unknown option '" : "unexpected argument '") +
           TerminalText(word) + "' for " + command;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<std::string>& commands) {
    CommandLine line;
    bool folderGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string folder;
        if (a == "--folder" || StartsWith(a, "--folder=")) {
            if (a == "--folder") {
                if (i + 1 >= args.size() || args[i + 1].empty()) {
                    line.refusal = "option --folder needs a folder";
                    return line;
                }
                folder = args[++i];
            } else {
                folder = a.substr(9);
            }
            if (folder.empty()) {
                line.refusal = "option --folder needs a folder";
                return line;
            }
            if (folderGiven) {
                line.refusal = "option --folder given twice";
                return line;
            }
            folderGiven = true;
            line.folder = AbsoluteFolder(folder);
        } else if (a == "--help" || a == "-h") {
            line.help = true;
        } else if (a == "--version") {
            line.version = true;
        } else if (line.command.empty() && StartsWith(a, "-")) {
            line.refusal = "unknown option '" + TerminalText(a) + "'";
            return line;
        } else if (line.command.empty()) {
            line.command = UpperCase(a);
            if (!commands.empty() &&
                std::find(commands.begin(), commands.end(), line.command) == commands.end()) {
                line.refusal = "unknown command '" + TerminalText(a) + "'";
                return line;
            }
        } else {
            line.rest.push_back(a);
        }
    }
    return line;
}

} // namespace kv
