#pragma once
// korvaned HISTORY [--since DATE] [--until DATE] [--match TEXT] [--json|--csv]:
// the transfer history for scripts, newest first, from the index beside the
// logs (brought up to date first).
#include <ostream>
#include <string>
#include <vector>

namespace kv {

// The words after HISTORY; the exit status (0, or 2 for bad words or an
// index that cannot be read).
int RunHistoryCommand(const std::string& programDir, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err);

} // namespace kv
