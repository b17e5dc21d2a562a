// Pictures of the window for the documentation: idle, during a transfer, in
// automatic mode, and in Chinese, against a pyftpdlib server on 127.0.0.1.
// Run by scripts/screenshots.sh under Xvfb; writes PNG files into the folder
// given as its argument.
#include "GuiTestSupport.h"
#include "config/IniFile.h"

#include <QAction>
#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <filesystem>

using namespace kvtest;

namespace {

void Save(QWidget& w, const std::string& folder, const char* name) {
    QApplication::processEvents();
    const std::string path = folder + "/" + name;
    if (!w.grab().save(QString::fromStdString(path)))
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    else
        std::printf("%s\n", path.c_str());
}

void MailboxFiles(FtpServer& s, GuiHome& h, const std::string& n) {
    s.writeFile("out/INVOIC" + n + ".EDI",
                "UNB+UNOA:2+CENTRE01:14+ME:14+261207:0900+1'UNH+1+INVOIC:D:96A:"
                "UN'BGM+380+INV1+9'UNT+3+1'UNZ+1+1'");
    s.writeFile("out/CUSRES" + n + ".TXT", "00:CUSRES:9:20261207:CUSTOMS:ME:1\r\n10:ACCEPTED\r\n");
    std::filesystem::create_directories(h.path("OUTBOX"));
    WriteFile(h.path("OUTBOX/ORDERS" + n + ".EDI"),
              "UNB+UNOA:2+ME:ZZ+CENTRE01:ZZ+261207:1000+5'UNH+1+ORDERS:D:96A:UN'UNT+2+1'UNZ+1+5'");
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const std::string folder = argc > 1 ? argv[1] : ".";
    PyFtpdServer& s = FreshServer();
    GuiHome h;
    h.Settings(&s);
    kv::IniFile ini(h.path("Korvane.ini"));
    ini.WriteString("System", "Message", "0");
    ini.WriteString("Options", "AllowStartAuto", "1");
    MailboxFiles(s, h, "101");

    TestWindow w(h.dir.path());
    w.StartUp({});
    w.ShowAfterStartUp();
    WaitFor([&] { return w.isVisible(); }, 5000);
    w.findChild<QAction*>("m11")->trigger(); // Connect Test
    w.findChild<QAction*>("m16")->setEnabled(true);
    w.findChild<QAction*>("m12")->trigger();
    w.findChild<QAction*>("m16")->trigger(); // Receive & Send
    Save(w, folder, "window-idle.png");

    // A large file sent slowly, pictured at about 40 %.
    s.writeFile("out/MANIFEST.EDI", std::string(24 << 20, 'M'));
    s.setScenario("throttle\t4000000\n");
    bool shot = false;
    w.onWork = [&](kv::WorkDirection, int64_t total) {
        if (!shot && total > (10 << 20)) {
            shot = true;
            Save(w, folder, "window-transfer.png");
        }
    };
    w.findChild<QAction*>("m12")->trigger();
    w.findChild<QAction*>("m14")->trigger();
    w.onWork = nullptr;
    s.clearScenario();

    MailboxFiles(s, h, "102");
    w.Button1Click(); // automatic mode: one cycle now, then every 10 minutes
    Save(w, folder, "window-auto.png");
    w.Button1Click();

    w.findChild<QAction*>("m211")->trigger(); // 简体中文
    MailboxFiles(s, h, "103");
    w.findChild<QAction*>("m12")->trigger();
    w.findChild<QAction*>("m16")->trigger();
    Save(w, folder, "window-chinese.png");
    w.findChild<QAction*>("m212")->trigger(); // English again, stored for the next start
    w.close();
    return 0;
}
