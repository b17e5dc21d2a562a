#pragma once
// The texts of the trace view and of the status panel during a transfer.
#include "util/Host.h"

#include <QString>
#include <cstdint>
#include <string>

namespace kvgui {

// A trace line as the trace view shows it: the first "<EOL>" removed, and a
// line holding "Sent: pass" cut to its time stamp and " Sent: pass ********".
std::string FormatTraceLine(const std::string& line);

// Kilobytes (1024 bytes) per second after elapsedMs; before any time has
// passed the previous figure stands.
double TransferSpeedKBps(int64_t bytes, int64_t elapsedMs, double previous);

// "Download speed 512.00 KB/s" or "Uploade speed ..." (spelled so), two
// decimals with the locale's decimal separator and no digit grouping.
QString SpeedPanelText(kv::WorkDirection dir, double speedKBps);

} // namespace kvgui
