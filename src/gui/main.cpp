// korvane: the window. "korvane ONCE", and "korvane SRV" where no display
// exists, take the headless path of korvaned without creating any window.
#include "FormKorvane.h"
#include "program/CompanionService.h"
#include "program/FolderHandOver.h"
#include "program/Headless.h"
#include "program/Program.h"
#include "program/ProgramFolderInit.h"
#include "util/Fs.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int gStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(gStopPipe[1], &c, 1);
}

bool DisplayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* v = std::getenv(name); v && *v)
            return true;
    return false;
}

// SIGTERM and SIGINT close the window, so the close sequence runs (a desktop
// logout, systemd, Ctrl+C in a terminal).
void CloseOnStopSignals(kvgui::FormKorvane& window) {
    if (::pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(gStopPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char buf[16];
        while (::read(gStopPipe[0], buf, sizeof buf) > 0) {
        }
        window.close();
    });
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string programDir = kv::ResolveProgramFolder(std::cerr);
    if (kv::WantsHeadlessRun(args, DisplayAvailable()))
        return kv::RunLoggedHeadless(programDir, args);

    ::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Korvane");
    QApplication::setDesktopFileName("korvane");
    QApplication::setWindowIcon(QIcon(":/korvane.png"));
    QApplication::setQuitOnLastWindowClosed(false);

    // The companion service gives the folder to the window while it runs.
    kv::CompanionService service(programDir, kv::KorvanedBesideThisProgram());
    kv::FolderHandOver folder(programDir, service);
    if (!folder.Take()) {
        const std::string refusal = folder.Lock().Refusal(programDir);
        std::fprintf(stderr, "korvane: %s (%s)\n", refusal.c_str(), programDir.c_str());
        QMessageBox::warning(nullptr, "Korvane", QString::fromStdString(refusal));
        return 2; // as korvaned
    }
    // Relative folder settings are relative to the program folder.
    if (::chdir(programDir.c_str()) != 0)
        std::fprintf(stderr, "korvane: cannot enter the program folder %s: %s\n",
                     programDir.c_str(), kv::ErrnoText(errno).c_str());

    kvgui::FormKorvane window(programDir);
    QObject::connect(&window, &kvgui::FormKorvane::Closed, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    CloseOnStopSignals(window);
    window.StartUp(args);
    window.ShowAfterStartUp();
    const int status = app.exec();
    folder.GiveBack();
    return status;
}
