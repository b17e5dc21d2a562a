// Texts and figures of the download wizard.
#include "upgrade/WizardTexts.h"

#include "util/Text.h"

#include <algorithm>
#include <cstdio>

namespace kv {

namespace {

constexpr double kMaxSecondsLeft = 1e9;

template <typename... Args> std::string Format(const char* fmt, Args... args) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

} // namespace

std::string DownloadingText(int i, int n) {
    return Format("Downloading %d of %d", i, n);
}

std::string FileSizeText(int64_t bytes) {
    return Format("File size: %.1f Kb", static_cast<double>(bytes) / 1024.0);
}

std::string TransferRateText(double bytesPerSecond) {
    return Format("Transfer rate: %.1f Kb/s", bytesPerSecond / 1024.0);
}

std::string TimeLeftText(int64_t seconds) {
    if (seconds < 0)
        seconds = 0;
    return Format("Estimated time left: %d:%.2d:%.2d", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
}

int64_t SecondsLeft(int64_t done, int64_t total, double bytesPerSecond) {
    if (bytesPerSecond <= 0 || total <= done)
        return 0;
    // A stalled transfer's rate near zero must not overflow the conversion.
    const double seconds = static_cast<double>(total - done) / bytesPerSecond + 0.5;
    return static_cast<int64_t>(std::min(seconds, kMaxSecondsLeft));
}

int OverallPercent(int i, int n, int currentPercent) {
    if (n <= 0)
        return 0;
    return static_cast<int>(RoundHalfEven(100.0 * (i - 1) / n)) + currentPercent / n;
}

} // namespace kv
