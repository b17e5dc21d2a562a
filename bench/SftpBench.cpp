// SFTP against the common clients, in one run against one sshd on loopback
// (an internal-sftp user, chrooted, files on the disk): a large file
// downloaded and uploaded by the SFTP session, by curl (libssh2) and by
// OpenSSH's sftp -b; 1,000 files of 2 KiB received and sent by whole
// `korvaned ONCE` cycles and by lftp's mirror over SFTP. Each run is a
// process of its own (connecting and logging in count), rounds alternate who
// goes first, and the peak memory is that process's.
//
//   sftp_bench [--mib N] [--rounds R] [--small N]   (as root; see bench/README.md)
#include "config/WnDes.h"
#include "sftp/SftpSession.h"
#include "support/SftpServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
};

Run RunChild(const std::vector<std::string>& argv, const std::string& outFile) {
    ::sync(); // nothing left to write back from the run before
    Run r;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0)
        kvtest::ExecInChild(argv, outFile, O_TRUNC, true);
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.maxRssKiB = ru.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

size_t Count(const std::string& folder) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); ++it)
        ++n;
    return n;
}

// One session transfer in a child process: get or put.
int Child(char** argv) {
    const std::string op = argv[2];
    auto s = std::make_shared<kv::SftpSession>();
    s->Host = "127.0.0.1";
    s->Port = std::atoi(argv[3]);
    s->User = argv[4];
    s->Password = std::getenv("KV_BENCH_PASSWORD");
    s->HostKey = argv[5];
    s->NetTimeOut = 120;
    try {
        s->Connect();
        if (op == "get") {
            if (!s->Get(argv[6], argv[7], true).Complete)
                return 3;
        } else {
            s->Put(argv[6], argv[7]);
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

void MakeSmall(const std::string& folder, int n, uid_t uid, gid_t gid) {
    const std::string body = ("UNB+UNOA:2+BENCH:ZZ+CENTRE:ZZ+261207:1000+1'UNH+1+INVOIC:D:96A:UN'" +
                              std::string(2048, 'X'))
                                 .substr(0, 2048);
    for (int i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/F%05d.EDI", i);
        kvtest::WriteFile(folder + name, body);
        if (::chown((folder + name).c_str(), uid, gid) != 0)
            std::exit(2);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 7 && std::string(argv[1]) == "--child")
        return Child(argv);
    int64_t mib = 1024;
    int rounds = 3, small = 1000;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mib")
            mib = std::atoll(argv[++i]);
        else if (arg == "--rounds")
            rounds = std::atoi(argv[++i]);
        else if (arg == "--small")
            small = std::atoi(argv[++i]);
    }
    if (!kvtest::RunningAsRoot()) {
        std::fprintf(stderr, "sftp_bench starts sshd and must run as root.\n");
        return 2;
    }
    char exe[4096] = {};
    if (::readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0)
        return 2;
    const std::string korvaned = fs::path(exe).parent_path().parent_path() / "bin/korvaned";
    kvtest::SftpServer server;
    struct stat owner {};
    ::stat(server.path(".").c_str(), &owner);
    server.makeDir("out");
    server.makeDir("in");
    server.makeDir("tmp");
    const uid_t uid = [&] {
        struct stat st {};
        ::stat(server.path("out").c_str(), &st);
        return st.st_uid;
    }();
    const gid_t gid = [&] {
        struct stat st {};
        ::stat(server.path("out").c_str(), &st);
        return st.st_gid;
    }();
    kvtest::TempDir work;
    ::chmod(work.path().c_str(), 0755);
    const std::string port = std::to_string(server.port());
    const int64_t size = mib << 20;
    std::printf("Writing a %lld MiB file for sshd ...\n", static_cast<long long>(mib));
    std::fflush(stdout);
    server.writeFile("big.bin", "");
    {
        const int fd = ::open(server.path("big.bin").c_str(), O_WRONLY | O_TRUNC);
        std::vector<char> block(1 << 20);
        uint32_t x = 12345;
        for (auto& c : block) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        }
        for (int64_t i = 0; i < mib; ++i) {
            block[0] = static_cast<char>(i);
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                return 2;
        }
        ::fsync(fd);
        ::close(fd);
    }
    const std::string source = server.path("big.bin");
    ::setenv("KV_BENCH_PASSWORD", server.password().c_str(), 1);
    const std::string url = "sftp://127.0.0.1:" + port + "/mailbox/";
    const std::string hostKey = server.fingerprint();
    const std::string curlKey = hostKey.substr(7) + "="; // curl wants the padded base64
    auto curl = [&](std::vector<std::string> args) {
        std::vector<std::string> v = {
            "/usr/bin/curl",   "-s",   "-S", "-u", server.user() + ":" + server.password(),
            "--hostpubsha256", curlKey};
        v.insert(v.end(), args.begin(), args.end());
        return v;
    };
    auto sftpBatch = [&](const std::string& command) {
        const std::string batch = work / "batch.txt";
        kvtest::WriteFile(batch, command + "\n");
        return std::vector<std::string>{"/usr/bin/sftp",
                                        "-q",
                                        "-b",
                                        batch,
                                        "-P",
                                        port,
                                        "-i",
                                        server.plainKeyFile(),
                                        "-o",
                                        "StrictHostKeyChecking=no",
                                        "-o",
                                        "UserKnownHostsFile=/dev/null",
                                        "-o",
                                        "IdentitiesOnly=yes",
                                        server.user() + "@127.0.0.1"};
    };
    const std::string ssh = "ssh -a -x -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null";
    auto lftp = [&](const std::string& command) {
        return std::vector<std::string>{"/usr/bin/lftp",
                                        "-u",
                                        server.user() + "," + server.password(),
                                        "-p",
                                        port,
                                        "-e",
                                        "set sftp:connect-program \"" + ssh +
                                            "\"; set net:max-retries 1; " + command + "; bye",
                                        "sftp://127.0.0.1"};
    };
    std::map<std::string, std::vector<double>> t;
    std::map<std::string, long> rss;
    // check runs after the command (arguments have no order of evaluation).
    auto take = [&](const std::string& key, const Run& r, const std::function<bool()>& check) {
        if (r.status != 0 || !check()) {
            std::fprintf(stderr, "%s failed (status %d); see %s\n", key.c_str(), r.status,
                         (work / "child.out").c_str());
            std::fprintf(stderr, "%s\n", kvtest::ReadFile(work / "child.out").c_str());
            std::exit(1);
        }
        t[key].push_back(r.seconds);
        rss[key] = std::max(rss[key], r.maxRssKiB);
    };
    const std::string out = work / "down.bin";
    const std::string home = work / "program";
    auto korvaneIni = [&](bool receive) {
        fs::remove_all(home);
        for (const char* f : {"", "/INBOX", "/OUTBOX", "/BACKUP", "/ERROR"})
            fs::create_directories(home + f);
        kvtest::WriteFile(
            home + "/Korvane.ini",
            "[Options]\r\nProtocol=SFTP\r\nSFTPHostKey=" + hostKey +
                "\r\nHost=127.0.0.1\r\nPort=" + port + "\r\nUserID=" + server.user() +
                "\r\nPassword=" + kv::EncryptToHex(server.password(), kv::kPasswordKey) +
                "\r\nTransferType=BIN\r\nFileSender=BENCH\r\nOutboxSettleTime=0\r\nRemoteInPath="
                "in\r\n"
                "RemoteOutPath=out\r\nAllowReceive=" +
                (receive ? "1" : "0") + "\r\nAllowSend=" + (receive ? "0" : "1") +
                "\r\n[System]\r\nLogStep=Month\r\nMessage=0\r\n");
    };
    auto resetRemote = [&] {
        for (const char* f : {"out", "in", "tmp"}) {
            fs::remove_all(server.path(f));
            server.makeDir(f);
        }
    };
    const std::string peerIn = work / "peer-in", peerOut = work / "peer-out";
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 3; ++turn) {
            const int who = (turn + round) % 3; // 0 Korvane, 1 curl / lftp, 2 sftp -b
            const std::string log = work / "child.out";
            if (who == 0) {
                take("kget",
                     RunChild({exe, "--child", "get", port, server.user(), hostKey, "big.bin", out},
                              log),
                     [&] { return FileSize(out) == size; });
                fs::remove(out);
                take("kput",
                     RunChild(
                         {exe, "--child", "put", port, server.user(), hostKey, source, "in/up.bin"},
                         log),
                     [&] { return FileSize(server.path("in/up.bin")) == size; });
                fs::remove(server.path("in/up.bin"));
                resetRemote();
                MakeSmall(server.path("out"), small, uid, gid);
                korvaneIni(true);
                take("krecv",
                     RunChild({"/usr/bin/env", "KORVANE_HOME=" + home, korvaned, "ONCE"}, log),
                     [&] {
                         return Count(home + "/INBOX") == static_cast<size_t>(small) &&
                                Count(server.path("out")) == 0;
                     });
                resetRemote();
                korvaneIni(false);
                MakeSmall(home + "/OUTBOX", small, 0, 0);
                take("ksend",
                     RunChild({"/usr/bin/env", "KORVANE_HOME=" + home, korvaned, "ONCE"}, log),
                     [&] { return Count(server.path("in")) == static_cast<size_t>(small); });
            } else if (who == 1) {
                take("cget", RunChild(curl({"-o", out, url + "big.bin"}), log),
                     [&] { return FileSize(out) == size; });
                fs::remove(out);
                take("cput", RunChild(curl({"-T", source, url + "in/up.bin"}), log),
                     [&] { return FileSize(server.path("in/up.bin")) == size; });
                fs::remove(server.path("in/up.bin"));
                resetRemote();
                MakeSmall(server.path("out"), small, uid, gid);
                fs::remove_all(peerIn);
                fs::create_directories(peerIn);
                take("lrecv", RunChild(lftp("mirror --Remove-source-files out " + peerIn), log),
                     [&] {
                         return Count(peerIn) == static_cast<size_t>(small) &&
                                Count(server.path("out")) == 0;
                     });
                resetRemote();
                fs::remove_all(peerOut);
                fs::create_directories(peerOut);
                MakeSmall(peerOut, small, 0, 0);
                take("lsend",
                     RunChild(lftp("mirror -R --Remove-source-files " + peerOut + " in"), log),
                     [&] { return Count(server.path("in")) == static_cast<size_t>(small); });
            } else {
                take("sget", RunChild(sftpBatch("get big.bin " + out), log),
                     [&] { return FileSize(out) == size; });
                fs::remove(out);
                take("sput", RunChild(sftpBatch("put " + source + " in/up.bin"), log),
                     [&] { return FileSize(server.path("in/up.bin")) == size; });
                fs::remove(server.path("in/up.bin"));
            }
        }
    }
    fs::remove(source);
    const double mb = static_cast<double>(size) / 1e6;
    auto rate = [&](const std::string& k) { return mb / Median(t[k]); };
    auto files = [&](const std::string& k) { return small / Median(t[k]); };
    std::printf("\n%lld MiB and %d x 2 KiB over SFTP from sshd on loopback, median of %d "
                "rounds\n",
                static_cast<long long>(mib), small, rounds);
    std::printf("download  Korvane %6.0f MB/s  curl %6.0f MB/s (ratio %.2f)  sftp -b %6.0f MB/s "
                "(ratio %.2f)  Korvane peak %.1f MiB\n",
                rate("kget"), rate("cget"), rate("kget") / rate("cget"), rate("sget"),
                rate("kget") / rate("sget"), rss["kget"] / 1024.0);
    std::printf("upload    Korvane %6.0f MB/s  curl %6.0f MB/s (ratio %.2f)  sftp -b %6.0f MB/s "
                "(ratio %.2f)  Korvane peak %.1f MiB\n",
                rate("kput"), rate("cput"), rate("kput") / rate("cput"), rate("sput"),
                rate("kput") / rate("sput"), rss["kput"] / 1024.0);
    std::printf("receive   Korvane %6.0f files/s  lftp %6.0f files/s (ratio %.2f)  Korvane peak "
                "%.1f MiB  lftp peak %.1f MiB\n",
                files("krecv"), files("lrecv"), files("krecv") / files("lrecv"),
                rss["krecv"] / 1024.0, rss["lrecv"] / 1024.0);
    std::printf("send      Korvane %6.0f files/s  lftp %6.0f files/s (ratio %.2f)  Korvane peak "
                "%.1f MiB  lftp peak %.1f MiB\n",
                files("ksend"), files("lsend"), files("ksend") / files("lsend"),
                rss["ksend"] / 1024.0, rss["lsend"] / 1024.0);
    return 0;
}
