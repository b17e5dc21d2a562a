// korvane: the window. "korvane ONCE", and "korvane SRV" where no display
// exists, take the headless path of korvaned without creating any window,
// with korvaned's command-line rules (--folder DIR, words it does not take
// refused by name).
#include "FormKorvane.h"
#include "program/CommandLine.h"
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
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::printf("usage: korvane [AUTO | SRV]       the window (SRV: automatic mode)\n"
                        "       korvane ONCE [--folder DIR]  one cycle without a window\n"
                        "       korvane SRV [--folder DIR]   without a display: korvaned SRV\n"
                        "See korvaned(1) for the program folder and the exit statuses.\n");
            return 0;
        }
        if (a == "--version") {
            std::printf("korvane %s\n", KORVANE_VERSION);
            return 0;
        }
    }
    if (kv::WantsHeadlessRun(args, DisplayAvailable())) {
        const kv::CommandLine line = kv::ParseCommandLine(args, {"ONCE", "SRV"});
        std::string refusal = line.refusal;
        if (refusal.empty() && !line.rest.empty())
            refusal = kv::UnexpectedWord(line.command, line.rest[0]);
        if (!refusal.empty()) {
            std::fprintf(stderr, "korvane: %s\nRun korvane --help for the commands.\n",
                         refusal.c_str());
            return 2;
        }
        const std::string folder =
            line.folder.empty() ? kv::ResolveProgramFolder(std::cerr) : line.folder;
        return kv::RunLoggedHeadless(folder, {line.command});
    }
    const std::string programDir = kv::ResolveProgramFolder(std::cerr);

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
