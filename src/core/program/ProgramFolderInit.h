#pragma once
// Program folders made from the installed template (korvaned INIT), and the
// choice of the program folder a run works in.
#include <ostream>
#include <string>

namespace kv {

// The template folder of this installation: share/korvane beside the bin
// folder of the running executable (the package's /usr/share/korvane), else
// the executable's own folder when it holds Korvane.ini (a folder made with
// an older install). Empty when there is none.
std::string FindProgramTemplate();

// Makes folder a program folder from templateDir: the settings file (readable
// by its owner only: it holds the enciphered passwords), the language packs
// and the work folders. A folder that already holds Korvane.ini or kvini.bak
// is a program folder already and is left exactly as it is; otherwise no
// existing file is replaced. Writes what it did and the next steps to out.
// Returns the exit status: 0 made or already there, 2 failed (the reason on
// err).
int InitProgramFolder(const std::string& folder, const std::string& templateDir, std::ostream& out,
                      std::ostream& err);

// The program folder of this run: $KORVANE_HOME when set; else the
// executable's folder when it is a program folder (holds Korvane.ini or
// kvini.bak) or when no template is installed beside it (a folder copied by
// hand); else, for an installation (/usr/bin with /usr/share/korvane), the
// user's own folder $XDG_DATA_HOME/korvane (~/.local/share/korvane), made
// from the template at the first start unless makeUserFolder is false (the
// commands that only read). Problems making it go to err.
std::string ResolveProgramFolder(std::ostream& err, bool makeUserFolder = true);

// True when folder holds Korvane.ini or kvini.bak.
bool IsProgramFolder(const std::string& folder);
// Why a command that reads a program folder refuses folder.
std::string NotAProgramFolder(const std::string& folder);

} // namespace kv
