// Pictures of Tools / Transfer History for the documentation, in English
// and in Chinese, over three months of a mailbox's transfer logs (with an
// outage of three days), and of a new mailbox whose transfers are all of one
// day, and of ten years. Run by scripts/screenshots.sh under Xvfb; writes
// history-en.png, history-chinese.png, history-one-day.png and
// history-ten-years.png into the folder given.
#include "FormHistory.h"
#include "GuiTestSupport.h"
#include "LanguageApply.h"
#include "TitleBar.h"

#include <QApplication>
#include <QElapsedTimer>
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
                // An acknowledgement, and for most a response of the centre.
                const int answers = 1 + static_cast<int>(next() % 3 != 0);
                for (int a = 0; a < answers; ++a) {
                    std::snprintf(line, sizeof line,
                                  "2026-%02d-%02d %02d:%02d:%02d Download File->CUSRES_%04d_%d.EDI "
                                  "FileSize:%u Sender:%s Receiver:ACME01 Type:%s\r\n",
                                  m, d, h, (mi + 7 + a * 20) % 60, s, serial, a,
                                  300 + next() % 3000, partner, inTypes[(a + next() % 2) % 3]);
                    text += line;
                }
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
    SavePicture(WithTitleBar(w.grab(), w.windowTitle()), path);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const std::string folder = argc > 1 ? argv[1] : ".";
    GuiHome home; // with the shipped language packs
    WriteFile(home.path("Korvane.ini"), "[Options]\r\n");
    WriteLogs(home.dir.path());
    Save(home.dir.path(), "kven.ini", folder + "/history-en.png");
    Save(home.dir.path(), "kvchs.ini", folder + "/history-chinese.png");

    GuiHome fresh;
    WriteFile(fresh.path("Korvane.ini"), "[Options]\r\n");
    std::string day;
    for (int i = 0; i < 9; ++i) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "2026-12-08 %02d:%02d:10 %s File->%s_%02d.EDI FileSize:%d Sender:%s "
                      "Receiver:%s Type:%s\r\n",
                      9 + i, 5 * i, i % 3 ? "Download" : "Upload", i % 3 ? "CUSRES" : "MANIFEST", i,
                      900 + 37 * i, i % 3 ? "CNSHACUS" : "ACME01", i % 3 ? "ACME01" : "CNSHACUS",
                      i % 3 ? "CUSRES(EDIFACT)" : "CUSCAR(EDIFACT)");
        day += line;
    }
    std::filesystem::create_directories(fresh.path("LOG"));
    WriteFile(fresh.path("LOG/KVTSF202612.LOG"), day);
    Save(fresh.dir.path(), "kven.ini", folder + "/history-one-day.png");

    // Ten years of a mailbox that grew: every day's bar, a label every two years.
    GuiHome decade;
    WriteFile(decade.path("Korvane.ini"), "[Options]\r\n");
    std::filesystem::create_directories(decade.path("LOG"));
    for (int y = 2017; y <= 2026; ++y) {
        std::string text;
        for (int m = 1; m <= 12; ++m)
            for (int d = 1; d <= 28; d += 1 + d % 3) {
                for (int k = 0; k < 1 + (y - 2016) * (1 + m % 4) / 2; ++k) {
                    char line[256];
                    std::snprintf(line, sizeof line,
                                  "%04d-%02d-%02d 10:%02d:00 %s File->F%d_%d.EDI FileSize:1 "
                                  "Sender:CNSHACUS Receiver:ACME01 Type:CUSRES(EDIFACT)\r\n",
                                  y, m, d, k % 60, k % 3 ? "Download" : "Upload", d, k);
                    text += line;
                }
            }
        WriteFile(decade.path("LOG/KVTSF" + std::to_string(y) + ".LOG"), text);
    }
    Save(decade.dir.path(), "kven.ini", folder + "/history-ten-years.png");
    return 0;
}
