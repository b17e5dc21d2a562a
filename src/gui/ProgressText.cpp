#include "ProgressText.h"

#include <QLocale>

namespace kvgui {

std::string FormatTraceLine(const std::string& line) {
    std::string s = line;
    if (auto eol = s.find("<EOL>"); eol != std::string::npos)
        s.erase(eol, 5);
    if (s.find("Sent: pass") != std::string::npos) {
        if (auto colon = s.find(": "); colon != std::string::npos)
            s = s.substr(0, colon + 1) + " Sent: pass ********";
    }
    return s;
}

double TransferSpeedKBps(int64_t bytes, int64_t elapsedMs, double previous) {
    if (elapsedMs <= 0)
        return previous;
    return static_cast<double>(bytes) / 1024.0 / (static_cast<double>(elapsedMs) / 1000.0);
}

QString SpeedPanelText(kv::WorkDirection dir, double speedKBps) {
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    const QString speed = locale.toString(speedKBps, 'f', 2) + " KB/s";
    return (dir == kv::WorkDirection::Read ? QString("Download speed ")
                                           : QString("Uploade speed ")) +
           speed;
}

} // namespace kvgui
