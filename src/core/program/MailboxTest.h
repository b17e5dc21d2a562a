#pragma once
// korvaned TEST: tries a program folder's settings against its server and
// says what the next cycle would do, changing nothing anywhere: no file is
// received, sent, uploaded, deleted or renamed on the server, and nothing
// is written in the program folder (no log, no journal, no status, no
// settings, no folder made).
#include <ostream>
#include <string>

namespace kv {

// Connects and logs in as the settings say, reports the connection's
// security (TLS version and how the certificate is trusted, or the pinned
// SFTP host key), checks every remote folder a cycle uses, lists what the
// next cycle would receive and send (names and sizes), and disconnects.
// Each failure names the key to change. Exit status: 0 all checks passed,
// 1 connected but a folder check failed, 2 the settings cannot be read or
// no connection could be made.
int RunMailboxTest(const std::string& programDir, std::ostream& out, std::ostream& err);

} // namespace kv
