// Download and upload of one large file over loopback from one vsftpd, the
// FTP session against curl in the same run (passive, binary), and 1,000
// sequential SIZE commands. Every transfer runs in a process of its own, so
// its wall time includes connecting and logging in for both clients, and its
// peak memory is that process's alone.
//
// With --ftps the server requires explicit TLS (vsftpd with TLS session reuse
// on data connections), Korvane runs with UseTls and curl with --ssl-reqd.
//
//   ftp_bench [--mib N] [--rounds R] [--ftps]   (as root; see bench/README.md)
#include "ftp/FtpSession.h"
#include "support/Servers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
    std::string output;
};

// Runs argv to its end; wall time, peak memory and what it printed.
Run RunChild(const std::vector<std::string>& argv, const std::string& outFile) {
    Run r;
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0)
        kvtest::ExecInChild(argv, outFile, O_TRUNC, false);
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.maxRssKiB = ru.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    try {
        r.output = kvtest::ReadFile(outFile);
    } catch (...) {
    }
    return r;
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// One session operation in a child process: get, put or sizes.
int Child(int argc, char** argv) {
    if (argc < 8)
        return 2;
    const std::string op = argv[2];
    kv::remote::Events quiet;
    auto s = std::make_shared<kv::FtpSession>();
    s->Host = argv[3];
    s->Port = std::atoi(argv[4]);
    s->User = argv[5];
    s->Password = std::getenv("KV_BENCH_PASSWORD") ? std::getenv("KV_BENCH_PASSWORD") : "";
    s->Passive = true;
    s->Type = kv::TransferType::Binary;
    s->NetTimeOut = 120;
    if (const char* ca = std::getenv("KV_BENCH_CAFILE")) {
        s->UseTls = true;
        s->TlsCAFile = ca;
    }
    s->SetEvents(&quiet);
    try {
        s->Connect();
        if (op == "get") {
            kv::GetResult r = s->Get(argv[6], argv[7], true);
            if (!r.Complete)
                return 3;
        } else if (op == "put") {
            s->Put(argv[6], argv[7]);
        } else {
            auto start = Clock::now();
            for (int i = 0; i < 1000; ++i)
                if (s->Size(argv[6]) < 0)
                    return 3;
            std::printf("%.6f\n", std::chrono::duration<double>(Clock::now() - start).count());
        }
        s->Disconnect();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--child")
        return Child(argc, argv);
    int64_t mib = 1024;
    int rounds = 3;
    bool ftps = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ftps")
            ftps = true;
        else if (arg == "--mib" && i + 1 < argc)
            mib = std::atoll(argv[++i]);
        else if (arg == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
    }
    if (!kvtest::RunningAsRoot()) {
        std::fprintf(stderr, "ftp_bench starts vsftpd and must run as root.\n");
        return 2;
    }
    const int64_t size = mib << 20;
    kvtest::VsftpdServer server(ftps);
    std::vector<std::string> curlTls;
    if (ftps) {
        ::setenv("KV_BENCH_CAFILE", kvtest::SharedCertificate().certFile.c_str(), 1);
        curlTls = {"--ssl-reqd", "--cacert", kvtest::SharedCertificate().certFile};
    }
    auto curl = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = {"/usr/bin/curl", "-s", "-S", "--disable-epsv"};
        argv.insert(argv.end(), curlTls.begin(), curlTls.end());
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    };
    kvtest::TempDir work; // downloads land here (under /tmp), removed at the end
    const std::string self = "/proc/self/exe";
    char exe[4096] = {};
    if (::readlink(self.c_str(), exe, sizeof exe - 1) <= 0)
        return 2;

    std::printf("Writing a %lld MiB file for vsftpd ...\n", static_cast<long long>(mib));
    std::fflush(stdout);
    server.writeFile("big.bin", "");
    {
        int fd = ::open(server.path("big.bin").c_str(), O_WRONLY | O_TRUNC);
        std::vector<char> block(1 << 20);
        uint32_t x = 12345;
        for (auto& c : block) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        }
        for (int64_t i = 0; i < mib; ++i) {
            block[0] = static_cast<char>(i); // no two blocks alike
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                return 2;
        }
        ::fsync(fd);
        ::close(fd);
    }
    const std::string source = server.path("big.bin");
    const std::string netrc = work / "netrc";
    kvtest::WriteFile(netrc, "machine 127.0.0.1 login " + server.user() + " password " +
                                 server.password() + "\n");
    ::setenv("KV_BENCH_PASSWORD", server.password().c_str(), 1);
    const std::string url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/";
    const std::string port = std::to_string(server.port());

    std::vector<double> curlGet, kvGet, curlPut, kvPut;
    long kvGetRss = 0, kvPutRss = 0;
    auto check = [&](const Run& r, const std::string& what, const std::string& file) {
        if (r.status != 0 || FileSize(file) != size) {
            std::fprintf(stderr, "%s failed (status %d, %lld bytes)\n", what.c_str(), r.status,
                         static_cast<long long>(FileSize(file)));
            std::exit(1);
        }
    };
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool korvaneFirst = round % 2 == 1;
            if ((turn == 0) != korvaneFirst) {
                const std::string out = work / "curl.bin";
                Run r = RunChild(curl({"--netrc-file", netrc, "-o", out, url + "big.bin"}),
                                 work / "child.out");
                check(r, "curl download", out);
                curlGet.push_back(r.seconds);
                std::remove(out.c_str());
                r = RunChild(curl({"--netrc-file", netrc, "-T", source, url + "curl-up.bin"}),
                             work / "child.out");
                check(r, "curl upload", server.path("curl-up.bin"));
                curlPut.push_back(r.seconds);
                std::remove(server.path("curl-up.bin").c_str());
            } else {
                const std::string out = work / "korvane.bin";
                Run r = RunChild(
                    {exe, "--child", "get", "127.0.0.1", port, server.user(), "big.bin", out},
                    work / "child.out");
                check(r, "Korvane download", out);
                kvGet.push_back(r.seconds);
                kvGetRss = std::max(kvGetRss, r.maxRssKiB);
                std::remove(out.c_str());
                r = RunChild(
                    {exe, "--child", "put", "127.0.0.1", port, server.user(), source, "kv-up.bin"},
                    work / "child.out");
                check(r, "Korvane upload", server.path("kv-up.bin"));
                kvPut.push_back(r.seconds);
                kvPutRss = std::max(kvPutRss, r.maxRssKiB);
                std::remove(server.path("kv-up.bin").c_str());
            }
        }
    }
    Run sizes = RunChild({exe, "--child", "size", "127.0.0.1", port, server.user(), "big.bin", "-"},
                         work / "child.out");
    std::remove(source.c_str());

    const double mb = static_cast<double>(size) / 1e6;
    auto line = [&](const char* what, const std::vector<double>& kv,
                    const std::vector<double>& curl, long rss) {
        double k = mb / Median(kv), c = mb / Median(curl);
        std::printf("%-9s Korvane %7.0f MB/s   curl %7.0f MB/s   ratio %.2f   Korvane peak "
                    "memory %.1f MiB\n",
                    what, k, c, k / c, rss / 1024.0);
    };
    std::printf("\n%lld MiB over loopback from vsftpd%s, passive, binary, median of %d rounds\n",
                static_cast<long long>(mib), ftps ? " over explicit FTPS (curl --ssl-reqd)" : "",
                rounds);
    line("download", kvGet, curlGet, kvGetRss);
    line("upload", kvPut, curlPut, kvPutRss);
    if (sizes.status == 0)
        std::printf("1,000 sequential SIZE commands: %.3f s (%.0f us each)\n",
                    std::atof(sizes.output.c_str()), std::atof(sizes.output.c_str()) * 1000.0);
    else
        std::printf("SIZE loop failed (status %d)\n", sizes.status);
    return 0;
}
