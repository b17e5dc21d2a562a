#pragma once
// The download wizard's progress texts and percentages.
#include <cstdint>
#include <string>

namespace kv {

std::string DownloadingText(int i, int n);           // "Downloading %d of %d"
std::string FileSizeText(int64_t bytes);             // "File size: %.1f Kb"
std::string TransferRateText(double bytesPerSecond); // "Transfer rate: %.1f Kb/s"
std::string TimeLeftText(int64_t seconds);           // "Estimated time left: %d:%.2d:%.2d"
// Seconds left at this rate (0 when the rate is not known yet).
int64_t SecondsLeft(int64_t done, int64_t total, double bytesPerSecond);
// Percentage of all files while file i of n is at currentPercent:
// round(100 * (i - 1) / n) + currentPercent / n.
int OverallPercent(int i, int n, int currentPercent);

} // namespace kv
