// Pictures of Tools / Transfer History for the documentation, in English
// and in Chinese, over three months of a mailbox's transfer logs (with an
// outage of three days). Run by scripts/screenshots.sh under Xvfb; writes
// history-en.png and history-chinese.png into the folder given.
#include "FormHistory.h"
#include "LanguageApply.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

using namespace kvtest;

namespace {

void WriteLogs(const std::string& home) {
    std::filesystem::create_directories(home + "/LOG");
    const char* partners[] = {"CNSHACUS", "PORTOPS01", "ACMELOG", "NINGBOEDI"};
    const char* inTypes[] = {"CUSRES(EDIFACT)", "APERAK(EDIFACT)", "COARRI(EDIFACT)"};
    const char* outTypes[] = {"CUSCAR(EDIFACT)", "PREMFT(FLAT)", "IFTMIN(EDIFACT)"};
    unsigned seed = 7;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    int serial = 1;
    for (int m = 9; m <= 11; ++m) {
        char name[64];
        std::snprintf(name, sizeof name, "/LOG/KVTSF2026%02d.LOG", m);
        std::string text;
        for (int d = 1; d <= (m == 11 ? 30 : (m == 9 ? 30 : 31)); ++d) {
            std::tm tm{};
            tm.tm_year = 126;
            tm.tm_mon = m - 1;
            tm.tm_mday = d;
            tm.tm_hour = 12;
            std::mktime(&tm);
            const bool weekend = tm.tm_wday == 0 || tm.tm_wday == 6;
            if (m == 10 && d >= 14 && d <= 16)
                continue; // the outage
            const int sent = weekend ? 1 + next() % 3 : 8 + next() % 10;
            for (int i = 0; i < sent; ++i) {
                const int h = 7 + static_cast<int>(next() % 11), mi = next() % 60, s = next() % 60;
                const char* partner = partners[next() % 4];
                char line[256];
                std::snprintf(line, sizeof line,
                              "2026-%02d-%02d %02d:%02d:%02d Upload File->MANIFEST %04d.EDI "
                              "FileSize:%u Sender:ACME01 Receiver:%s Type:%s\r\n",
                              m, d, h, mi, s, serial, 2000 + next() % 40000, partner,
                              outTypes[next() % 3]);
                text += line;
                std::snprintf(line, sizeof line,
                              "2026-%02d-%02d %02d:%02d:%02d Download File->CUSRES_%04d.EDI "
                              "FileSize:%u Sender:%s Receiver:ACME01 Type:%s\r\n",
                              m, d, h, (mi + 7) % 60, s, serial, 300 + next() % 3000, partner,
                              inTypes[next() % 3]);
                text += line;
                ++serial;
            }
        }
        WriteFile(home + name, text);
    }
}

void Save(const std::string& home, const std::string& pack, const std::string& path) {
    kvgui::FormHistory w(home, home + "/Korvane.ini");
    kvgui::ApplyLanguage(&w, home + "/Language/" + pack);
    w.resize(980, 640);
    w.show();
    w.Start();
    QElapsedTimer t;
    t.start();
    while ((w.Model().rowCount() == 0 || !w.Idle()) && t.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    for (int i = 0; i < 20; ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    // No window manager runs under Xvfb: the title goes on a bar of its own.
    const QPixmap client = w.grab();
    constexpr int kTitleHeight = 24;
    QPixmap pixmap(client.width(), client.height() + kTitleHeight);
    pixmap.fill(QColor(0x3c, 0x5a, 0x82));
    QPainter painter(&pixmap);
    painter.setPen(Qt::white);
    painter.drawText(QRect(8, 0, client.width() - 16, kTitleHeight), Qt::AlignVCenter,
                     w.windowTitle());
    painter.drawPixmap(0, kTitleHeight, client);
    painter.end();
    if (!pixmap.save(QString::fromStdString(path)))
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    else
        std::printf("%s\n", path.c_str());
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const std::string folder = argc > 1 ? argv[1] : ".";
    TempDir home;
    const char* src = std::getenv("KORVANE_SOURCE_DIR");
    std::filesystem::create_directories(home / "Language");
    for (const char* pack : {"kven.ini", "kvchs.ini"})
        std::filesystem::copy_file(std::string(src ? src : ".") + "/data/Language/" + pack,
                                   home / ("Language/" + std::string(pack)));
    WriteFile(home / "Korvane.ini", "[Options]\r\n");
    WriteLogs(home.path());
    Save(home.path(), "kven.ini", folder + "/history-en.png");
    Save(home.path(), "kvchs.ini", folder + "/history-chinese.png");
    return 0;
}
