// Download throughput in the window against the headless run, in one process
// against one vsftpd: the same 1 GiB file is received by "ONCE" (the path
// korvaned takes) and by the window's Connect and Receive Only commands, with
// the window shown, the trace view on and the progress display running. The
// rounds alternate which goes first; the medians and their ratio are printed.
//   gui_bench [--mib N] [--rounds R]   (as root; see bench/README.md)
#include "FormKorvane.h"
#include "GuiTestSupport.h"
#include "config/IniFile.h"
#include "program/Headless.h"
#include "util/Fs.h"

#include <QAction>
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void WriteBigFile(const std::string& path, int mib) {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('A' + i % 23);
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < mib; ++i)
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

// Puts the staged file into the server's "out" folder and empties the inbox.
void Stage(kvtest::FtpServer& server, const std::string& staged, kvtest::GuiHome& home) {
    std::filesystem::remove_all(home.path("INBOX"));
    std::filesystem::create_directories(home.path("INBOX"));
    std::filesystem::remove(server.path("out/big.bin"));
    std::filesystem::create_hard_link(staged, server.path("out/big.bin"));
}

bool Received(kvtest::GuiHome& home, int mib) {
    std::error_code ec;
    return std::filesystem::file_size(home.path("INBOX/big.bin"), ec) == static_cast<uintmax_t>(mib)
                                                                             << 20;
}

} // namespace

int main(int argc, char** argv) {
    int mib = 1024, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--mib"))
            mib = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::atoi(argv[i + 1]);
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (!kvtest::RunningAsRoot()) {
        std::fprintf(stderr, "gui_bench: run as root (vsftpd must start as root)\n");
        return 2;
    }
    kvtest::VsftpdServer server;
    server.makeDir("out");
    server.makeDir("in");
    server.makeDir("tmp");
    kvtest::TempDir stage;
    const std::string staged = server.path("stage.bin");
    WriteBigFile(staged, mib);

    kvtest::GuiHome headlessHome, windowHome;
    for (kvtest::GuiHome* h : {&headlessHome, &windowHome}) {
        h->Settings(&server);
        kv::IniFile ini(h->path("Korvane.ini"));
        ini.WriteString("Options", "AllowSend", "0");
        ini.WriteString("System", "Message", "0");
    }

    std::vector<double> headless, window;
    for (int r = 0; r < rounds; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool windowTurn = (turn == 1) != (r % 2 == 1);
            if (!windowTurn) {
                Stage(server, staged, headlessHome);
                auto t0 = Clock::now();
                int status = kv::RunHeadless(headlessHome.dir.path(), {"ONCE"});
                headless.push_back(Seconds(t0));
                std::printf("  round %d headless %.2f s\n", r + 1, headless.back());
                if (status != 0 || !Received(headlessHome, mib)) {
                    std::fprintf(stderr, "gui_bench: the headless download failed (%d)\n", status);
                    return 1;
                }
            } else {
                Stage(server, staged, windowHome);
                kvtest::TestWindow w(windowHome.dir.path());
                w.StartUp({});
                w.ShowAfterStartUp();
                kvtest::WaitFor([&] { return w.isVisible(); }, 5000);
                auto t0 = Clock::now();
                w.findChild<QAction*>("m12")->trigger();
                w.findChild<QAction*>("m14")->trigger();
                window.push_back(Seconds(t0));
                std::printf("  round %d window   %.2f s\n", r + 1, window.back());
                w.close();
                if (!Received(windowHome, mib)) {
                    std::fprintf(stderr, "gui_bench: the window's download failed\n");
                    return 1;
                }
            }
        }
    }
    std::filesystem::remove(staged);
    std::filesystem::remove(server.path("out/big.bin"));
    const double mb = mib * 1048576.0 / 1e6;
    const double h = mb / Median(headless), w = mb / Median(window);
    std::printf("download of %d MiB, median of %d rounds\n", mib, rounds);
    std::printf("  headless (ONCE):       %8.0f MB/s\n", h);
    std::printf("  window (Receive Only): %8.0f MB/s\n", w);
    std::printf("  ratio window / headless: %.2f\n", w / h);
    return 0;
}
