#pragma once
// korvaned INIT: makes a program folder (one mailbox) from the installed
// template, the factory Korvane.ini and the language packs.
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

} // namespace kv
