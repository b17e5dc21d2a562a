// The Transfer History window with ten years of a busy mailbox's logs, on
// Qt's offscreen platform: how long until the first rows show when the
// window opens (index made from the logs, then already made), how long a
// filter change takes to answer, and the longest the window's event loop
// went without running (a 10 ms timer's largest gap), which is what a
// person would feel as a freeze.
//   window_bench DIR   (DIR from history_bench generate)
#include "FormHistory.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sys/resource.h>

namespace {

struct Stalls {
    QTimer tick;
    QElapsedTimer since;
    qint64 worst = 0;
    Stalls() {
        tick.setInterval(10);
        QObject::connect(&tick, &QTimer::timeout,
                         [this] { worst = std::max(worst, since.restart() - 10); });
        since.start();
        tick.start();
    }
    void Reset() {
        worst = 0;
        since.restart();
    }
};

// Runs the event loop until cond holds; the milliseconds it took.
qint64 Until(const std::function<bool()>& cond) {
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < 600000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    return t.elapsed();
}

void Open(const std::string& dir, const char* what, Stalls& stalls) {
    stalls.Reset();
    kvgui::FormHistory w(dir, dir + "/Korvane.ini");
    w.show();
    w.Start();
    const qint64 ms = Until([&] { return w.Model().rowCount() > 0 && w.Idle(); });
    std::printf("%-44s %6lld ms (%d rows), longest stall %lld ms\n", what,
                static_cast<long long>(ms), w.Model().rowCount(),
                static_cast<long long>(stalls.worst));
    if (std::string(what).find("made") != std::string::npos)
        return;
    struct Change {
        const char* what;
        std::function<void()> apply;
    };
    auto* text = w.findChild<QLineEdit*>("Edit_Text");
    auto* direction = w.findChild<QComboBox*>("Combo_Direction");
    auto* from = w.findChild<QCheckBox*>("CheckFrom");
    const Change changes[] = {
        {"filter: a partner (typed, 250 ms pause)", [&] { text->setText("PARTNER17"); }},
        {"filter: and received only", [&] { direction->setCurrentIndex(1); }},
        {"filter: and from a month ago", [&] { from->setChecked(true); }},
        {"filter: a partner again, any day",
         [&] {
             from->setChecked(false);
             direction->setCurrentIndex(0);
         }},
        // Typed text waits for the pause after typing: a step of its own, so
        // that the answer waited for is its own.
        {"filter: one file by name", [&] { text->setText("_123456 "); }},
        {"filter: none", [&] { text->clear(); }},
    };
    for (const Change& c : changes) {
        stalls.Reset();
        const int before = w.Model().rowCount();
        c.apply();
        const qint64 changeMs = Until([&] { return !w.Idle() || w.Model().rowCount() != before; });
        const qint64 answerMs = Until([&] { return w.Idle(); });
        std::printf("%-44s %6lld ms (%d rows), longest stall %lld ms\n", c.what,
                    static_cast<long long>(changeMs + answerMs), w.Model().rowCount(),
                    static_cast<long long>(stalls.worst));
    }
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: window_bench DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    Stalls stalls;
    std::remove((dir + "/LOG/KVHISTORY.DB").c_str());
    std::remove((dir + "/LOG/KVHISTORY.DB-wal").c_str());
    std::remove((dir + "/LOG/KVHISTORY.DB-shm").c_str());
    Open(dir, "open, index made from the logs", stalls);
    Open(dir, "open again", stalls);
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    std::printf("peak memory: %.1f MiB\n", ru.ru_maxrss / 1024.0);
    return 0;
}
