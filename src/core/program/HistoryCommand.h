#pragma once
// korvaned HISTORY [--since DATE] [--until DATE] [--match TEXT] [--json|--csv]:
// the transfer history for scripts, newest first, from the index beside the
// logs (brought up to date first; made there when missing). CSV cells that a
// spreadsheet would run get a leading apostrophe; the text form shows no
// control or direction-override character.
#include <ostream>
#include <string>
#include <vector>

namespace kv {

// The words after HISTORY; the exit status (0, or 2 for bad words, a folder
// that is not a program folder, or an index that cannot be read). A program
// folder without a LOG folder has no transfers; nothing is made in it.
int RunHistoryCommand(const std::string& programDir, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err);

} // namespace kv
