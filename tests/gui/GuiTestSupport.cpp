#include "GuiTestSupport.h"

#include "app/Settings.h"
#include "config/WnDes.h"
#include "util/Fs.h"

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace kvtest {

GuiHome::GuiHome() {
    const char* src = std::getenv("KORVANE_SOURCE_DIR");
    std::filesystem::create_directories(path("Language"));
    for (const char* pack : {"kven.ini", "kvchs.ini"})
        std::filesystem::copy_file(std::string(src ? src : ".") + "/data/Language/" + pack,
                                   path("Language/") + pack);
}

void GuiHome::Settings(const FtpServer* s, const std::string& extra) {
    const std::string port = std::to_string(s ? s->port() : FreePort());
    WriteFile(
        path("Korvane.ini"),
        "[Options]\r\nHost=127.0.0.1\r\nPort=" + port + "\r\nUserID=" + (s ? s->user() : "nobody") +
            "\r\nPassword=" + kv::EncryptToHex(s ? s->password() : "none", kv::kPasswordKey) +
            "\r\nTransferType=BIN\r\nPassive=1\r\nFileSender=ME\r\n"
            "RemoteInPath=in\r\nRemoteOutPath=out\r\nTimeInterval=10\r\nOutboxSettleTime=0\r\n"
            "Language=English\r\nLanguageFile=kven.ini\r\n"
            "[System]\r\nLogStep=Day\r\nMessage=1\r\nExpert=0\r\n"
            "[View]\r\nStatusBar=1\r\nDebugView=1\r\n" +
            extra);
}

std::vector<std::string> GuiHome::SysLog() const {
    return SysLogLines(dir.path());
}

int GuiHome::Count(const std::string& line) const {
    auto lines = SysLog();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

bool WaitFor(const std::function<bool()>& cond, int limitMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= until)
            return cond();
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

PyFtpdServer& FreshServer() {
    // The engine tests' pyftpdlib script: it lists "folder/*.*" as the usual
    // servers do, and takes the scripted directives (throttle, wire log).
    static PyFtpdServer s("pyftpdlib (engine)",
                          std::string(KORVANE_ENGINE_TEST_DIR) + "/fault_ftpd.py", "kvgui",
                          "Kv-gui-pass7");
    s.clearScenario();
    s.clearWireLog();
    for (const char* d : {"out", "in", "tmp"}) {
        std::filesystem::remove_all(s.path(d));
        s.makeDir(d);
    }
    return s;
}

} // namespace kvtest
