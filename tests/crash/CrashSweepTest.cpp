// The promise of the transfer cycles, checked at every point a crash, a stop,
// a lost connection or a power loss can strike: korvaned runs one cycle under
// strace, which ends it at the N-th call of one kind (write, rename, link,
// unlink, flush, socket), for every N (a sample of them unless
// KORVANE_CRASH_SWEEP=all), then two clean cycles run, and then every file
// must be at its destination once, whole, with one record, and the system log
// must keep each file's lines together.
#include "config/WnDes.h"
#include "support/ChildProgram.h"
#include "support/Mounts.h"
#include "support/Servers.h"
#include "support/SftpServer.h"
#include "support/TestSupport.h"
#include "util/Fs.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace kvtest;
using Files = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

namespace {

namespace fs = std::filesystem;

// The calls a point can fall on.
const Lines kCalls = {"write",  "rename",   "renameat", "renameat2", "link",    "linkat",
                      "unlink", "unlinkat", "fsync",    "fdatasync", "syncfs",  "ftruncate",
                      "sendto", "recvfrom", "connect",  "splice",    "sendfile"};
const Lines kSocketCalls = {"sendto", "recvfrom", "connect", "splice", "sendfile"};

// How a point interrupts the cycle.
enum class Cut { Kill, Term, ConnectionReset, PowerLoss };

const char* NameOf(Cut c) {
    switch (c) {
    case Cut::Kill:
        return "kill -9";
    case Cut::Term:
        return "SIGTERM";
    case Cut::ConnectionReset:
        return "connection reset";
    case Cut::PowerLoss:
        return "power loss";
    }
    return "?";
}

VsftpdServer& Server() {
    return Shared<VsftpdServer>();
}

bool SweepAll() {
    const char* all = std::getenv("KORVANE_CRASH_SWEEP");
    return all && std::string(all) == "all";
}

std::string Strace() {
    for (const char* p : {"/usr/bin/strace", "/bin/strace"})
        if (Exists(p))
            return p;
    return "";
}

const std::string kOwn = "00:ORDERS:X:Y:ME:THEM:Z'\r\n";
const std::string kTheirs = "00:INVOIC:X:Y:THEM:ME:Z'\r\n";

// Small files go in one batch; the large one in a batch of its own, with its
// hash made beside the download.
Files Payload(const std::string& head) {
    return {{"A.EDI", head + "first\r\n"},
            {"B.EDI", head + std::string(3000, 'b') + "\r\n"},
            {"NODOT", head + "no dot in the name\r\n"},
            {"C.EDI", head + std::string(70000, 'c') + "\r\n"},
            {"LARGE.DAT", head + std::string(1300000, 'l') + "\r\n"}};
}

struct Direction {
    const char* name;
    bool receive;
};

// A program folder whose settings point at the test server (vsftpd, or sshd
// over SFTP with its host key pinned); its work folders under `work` (another
// file system for the cases across two).
class Mailbox {
public:
    // scratch: where the runs' standard error and call counts go, off the
    // disks whose power is cut.
    Mailbox(const std::string& home, const std::string& work, const std::string& scratch,
            FtpServer& server = Server(), const std::string& sftpHostKey = "")
        : home_(home), work_(work), scratch_(scratch), server_(server), sftpHostKey_(sftpHostKey) {}

    std::string inbox() const { return work_ + "/INBOX"; }
    std::string outbox() const { return work_ + "/OUTBOX"; }
    const std::string& home() const { return home_; }
    FtpServer& server() const { return server_; }

    void Reset(const Direction& d) {
        for (const std::string& folder : {home_, work_}) {
            std::error_code ec;
            for (auto& e : fs::directory_iterator(folder, ec))
                if (e.path().filename() != "lost+found")
                    fs::remove_all(e.path(), ec);
        }
        for (const char* f : {"INBOX", "OUTBOX", "BACKUP", "ERROR"})
            fs::create_directories(work_ + "/" + f);
        FtpServer& s = server_;
        for (const char* f : {"out", "in", "tmp"}) {
            std::error_code ec;
            fs::remove_all(s.path(f), ec);
            s.makeDir(f);
        }
        std::error_code ec;
        fs::remove(s.path("KVinf.txt"), ec);
        if (d.receive)
            for (const auto& [name, content] : Payload(kTheirs))
                s.writeFile("out/" + name, content);
        else
            for (const auto& [name, content] : Payload(kOwn))
                WriteFile(outbox() + "/" + name, content);
        WriteFile(
            home_ + "/Korvane.ini",
            "[Options]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(s.port()) + "\r\nUserID=" +
                s.user() + "\r\nPassword=" + kv::EncryptToHex(s.password(), kv::kPasswordKey) +
                "\r\nTransferType=BIN\r\nPassive=1\r\nFileSender=ME\r\nOutboxSettleTime=0\r\n"
                "RemoteInPath=in\r\nRemoteOutPath=out\r\nLocalInPath=" +
                inbox() + "\r\nLocalOutPath=" + outbox() + "\r\nLocalBackupPath=" + work_ +
                "/BACKUP\r\nLocalErrPath=" + work_ +
                "/ERROR\r\nAllowReceive=" + (d.receive ? "1" : "0") +
                "\r\nAllowSend=" + (d.receive ? "0" : "1") + "\r\nTimeInterval=10\r\n" +
                (sftpHostKey_.empty() ? std::string()
                                      : "Protocol=SFTP\r\nSFTPHostKey=" + sftpHostKey_ + "\r\n") +
                "[System]\r\nLogStep=Day\r\n");
        // What the user put there is on the disk before the cycle starts.
        for (const std::string& folder : {home_, work_}) {
            const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) {
                ::syncfs(fd);
                ::close(fd);
            }
        }
    }

    // korvaned ONCE, under strace when prefix is given; its exit status, and
    // what it said on standard error in err.
    int Run(const Lines& prefix = {}, std::string* err = nullptr) const {
        Lines argv = prefix;
        argv.push_back(BuildProgram("korvaned"));
        argv.push_back("ONCE");
        ChildProgram p(argv, {"KORVANE_HOME=" + home_, "PATH=/usr/bin:/bin", "LANG=C"},
                       scratch_ + "/stderr.txt");
        const int status = p.wait(120);
        if (err)
            *err = p.err();
        return status;
    }

    // How many calls of each kind one clean cycle makes.
    std::map<std::string, int> CountCalls(const std::string& strace) const {
        const std::string out = scratch_ + "/calls.txt";
        std::string all;
        for (const std::string& c : kCalls)
            all += (all.empty() ? "" : ",") + c;
        Run({strace, "-f", "-qq", "-o", out, "-e", "trace=" + all});
        std::map<std::string, int> counts;
        std::ifstream in(out);
        const std::regex call(R"(^\d+\s+([a-z0-9_]+)\()");
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            if (std::regex_search(line, m, call))
                ++counts[m[1]];
        }
        return counts;
    }

    // Transfer-log records, time stamps removed.
    Lines Records() const {
        Lines all;
        for (const std::string& name : kv::ListFolder(home_ + "/LOG", "KVTSF*.LOG"))
            for (const std::string& line : ReadCrLfLines(home_ + "/LOG/" + name))
                all.push_back(WithoutStamp(line));
        return all;
    }

private:
    std::string home_, work_, scratch_;
    FtpServer& server_;
    std::string sftpHostKey_;
};

Files Read(const std::string& folder) {
    Files files;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(folder, ec)) {
        if (!e.is_regular_file())
            continue;
        // A listed file that cannot be read is a broken promise to report
        // with the others, not the end of the sweep.
        try {
            files[e.path().filename().string()] = ReadFile(e.path().string());
        } catch (const std::exception& error) {
            files[e.path().filename().string()] = std::string("(") + error.what() + ")";
        }
    }
    return files;
}

Lines Entries(const std::string& folder) {
    Lines names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(folder, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What broke, one text per broken promise (empty: the promise holds).
Lines Broken(const Mailbox& m, const Direction& d) {
    Lines broken;
    const Files original = Payload(d.receive ? kTheirs : kOwn);
    const Files arrived = d.receive ? Read(m.inbox()) : Read(m.server().path("in"));
    for (const auto& [name, content] : arrived) {
        auto it = original.find(name);
        if (it == original.end())
            broken.push_back(name + " arrived although no such file was sent (a second copy?)");
        else if (content != it->second)
            broken.push_back(name + " arrived with other bytes (" + std::to_string(content.size()) +
                             " of " + std::to_string(it->second.size()) + ")");
    }
    for (const auto& [name, content] : original)
        if (!arrived.count(name))
            broken.push_back(name + " is not at its destination after two clean cycles");
    const Files left = d.receive ? Read(m.server().path("out")) : Read(m.outbox());
    for (const auto& [name, content] : left)
        broken.push_back(name + " is still at its source after two clean cycles" +
                         (content.rfind("(cannot read ", 0) == 0 ? " " + content : ""));
    if (d.receive) {
        for (const std::string& n : Entries(m.home() + "/TMP"))
            broken.push_back("TMP still holds " + n);
    } else {
        for (const auto& [name, content] : Read(m.server().path("tmp")))
            broken.push_back("the server's tmp folder still holds " + name);
    }
    // One record each.
    const std::string prefix = d.receive ? "Download File->" : "Upload File->";
    std::map<std::string, int> records;
    for (const std::string& r : m.Records())
        if (r.rfind(prefix, 0) == 0)
            ++records[r.substr(prefix.size(), r.find(" FileSize:") - prefix.size())];
    for (const auto& [name, content] : original)
        if (records[name] != 1)
            broken.push_back(name + " has " + std::to_string(records[name]) +
                             " transfer-log records");
    // Each file's lines together: a success line belongs to the file whose
    // start line came last, and no file succeeds twice.
    const std::string start = d.receive ? "INFO:Start Download File->" : "INFO:Start Upload File->";
    const std::string success =
        d.receive ? "INFO:Success Download File->" : "INFO:Success Upload File->";
    std::string current;
    std::map<std::string, int> successes;
    for (const std::string& line : SysLogLines(m.home())) {
        if (line.rfind(start, 0) == 0) {
            current = line.substr(start.size());
        } else if (line.rfind(success, 0) == 0) {
            const std::string name = line.substr(success.size());
            if (!current.empty() && name != current)
                broken.push_back("the log shows \"" + line + "\" among the lines of " + current);
            if (++successes[name] > 1)
                broken.push_back("the log shows \"" + line + "\" twice");
        } else if (line.rfind("INFO:Begin ", 0) == 0 || line.rfind("INFO:End ", 0) == 0 ||
                   line.rfind("INFO:Now ", 0) == 0) {
            current.clear();
        }
    }
    return broken;
}

// The points of one kind of call: all of them, or an even sample with both ends.
std::vector<int> Points(int count, int sample) {
    std::vector<int> points;
    if (count <= sample || sample <= 0) {
        for (int n = 1; n <= count; ++n)
            points.push_back(n);
        return points;
    }
    for (int i = 0; i < sample; ++i)
        points.push_back(1 +
                         static_cast<int>(static_cast<int64_t>(i) * (count - 1) / (sample - 1)));
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

struct Sweep {
    int points = 0;
    int cut = 0; // points at which the cycle really was interrupted
    Lines failures;
};

// One point: a fresh mailbox, the interrupted cycle, the power cut where
// asked, two clean cycles, the checks.
void RunPoint(Mailbox& m, const Direction& d, const std::string& strace, const std::string& call,
              int n, Cut cut, const std::vector<PowerCutDisk*>& disks, Sweep& sweep) {
    m.Reset(d);
    std::string inject = call + ":";
    switch (cut) {
    case Cut::Term:
        inject += "signal=TERM";
        break;
    case Cut::ConnectionReset:
        inject += "error=ECONNRESET";
        break;
    default:
        inject += "signal=KILL";
        break;
    }
    inject += ":when=" + std::to_string(n);
    const int status = m.Run(
        {strace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e", "inject=" + inject});
    ++sweep.points;
    if (status == 128 + SIGKILL || cut != Cut::Kill)
        ++sweep.cut;
    const std::string where =
        std::string(d.name) + ", " + NameOf(cut) + " at " + call + " #" + std::to_string(n) + ": ";
    // The power goes for every disk at once.
    for (PowerCutDisk* disk : disks) {
        if (cut == Cut::PowerLoss && !disk->CutPower()) {
            sweep.failures.push_back(where + "the power cut of a test disk failed");
            return;
        }
    }
    for (int clean = 0; clean < 2; ++clean) {
        std::string err;
        const int rc = m.Run({}, &err);
        if (rc != 0 && rc != 1)
            sweep.failures.push_back(where + "clean cycle " + std::to_string(clean + 1) +
                                     " ended with status " + std::to_string(rc) + ": " + err);
    }
    for (const std::string& b : Broken(m, d))
        sweep.failures.push_back(where + b);
}

// Sweeps every kind of call the cycle makes (socket calls only for a
// connection reset).
Sweep SweepCycle(Mailbox& m, const Direction& d, Cut cut, int sample,
                 const std::vector<PowerCutDisk*>& disks = {}) {
    Sweep sweep;
    const std::string strace = Strace();
    m.Reset(d);
    const std::map<std::string, int> counts = m.CountCalls(strace);
    // KORVANE_CRASH_POINT=call#N runs only that point and prints its logs.
    const char* only = std::getenv("KORVANE_CRASH_POINT");
    for (const auto& [call, count] : counts) {
        if (only) {
            const std::string point = only;
            const size_t hash = point.find('#');
            if (point.substr(0, hash) != call)
                continue;
            RunPoint(m, d, strace, call, std::stoi(point.substr(hash + 1)), cut, disks, sweep);
            for (const std::string& line : SysLogLines(m.home()))
                std::printf("  log: %s\n", line.c_str());
            continue;
        }
        const bool socket =
            std::find(kSocketCalls.begin(), kSocketCalls.end(), call) != kSocketCalls.end();
        if (cut == Cut::ConnectionReset && !socket)
            continue;
        for (int n : Points(count, sample))
            RunPoint(m, d, strace, call, n, cut, disks, sweep);
    }
    return sweep;
}

void Report(const Sweep& s, const std::string& what) {
    std::printf("[ sweep    ] %s: %d points, %d interrupted, %zu broken promises\n", what.c_str(),
                s.points, s.cut, s.failures.size());
    for (size_t i = 0; i < s.failures.size() && i < 40; ++i)
        ADD_FAILURE() << s.failures[i];
    EXPECT_TRUE(s.failures.empty()) << s.failures.size() << " broken promises in " << what;
}

class CrashSweep : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "vsftpd needs root";
        if (Strace().empty())
            GTEST_SKIP() << "strace is not installed";
    }
    // Points per kind of call: every one with KORVANE_CRASH_SWEEP=all.
    static int Sample(int usual) {
#ifdef KORVANE_SANITIZED
        usual = std::max(2, usual / 3);
#endif
        return SweepAll() ? 0 : usual;
    }
    TempDir dir;
};

const Direction kReceive{"receive", true};
const Direction kSend{"send", false};

} // namespace

// kill -9 at any call, on one file system and with the inbox and outbox on
// another (copies instead of renames).
TEST_F(CrashSweep, KilledAnywhere) {
    fs::create_directories(dir / "home");
    fs::create_directories(dir / "other");
    Mailbox same(dir / "home", dir / "home", dir.path());
    for (const Direction& d : {kReceive, kSend})
        Report(SweepCycle(same, d, Cut::Kill, Sample(8)),
               std::string(d.name) + ", one file system");
    TmpfsMount other(dir / "other", 64 << 20);
    if (!other.ok())
        GTEST_SKIP() << other.skipReason();
    Mailbox across(dir / "home", dir / "other", dir.path());
    for (const Direction& d : {kReceive, kSend})
        Report(SweepCycle(across, d, Cut::Kill, Sample(4)),
               std::string(d.name) + ", two file systems");
}

// SIGTERM (a service stopped) and a connection reset at any socket call.
TEST_F(CrashSweep, StoppedOrCutOffAnywhere) {
    fs::create_directories(dir / "home");
    Mailbox m(dir / "home", dir / "home", dir.path());
    for (const Direction& d : {kReceive, kSend}) {
        Report(SweepCycle(m, d, Cut::Term, Sample(3)), std::string(d.name) + ", SIGTERM");
        Report(SweepCycle(m, d, Cut::ConnectionReset, Sample(6)),
               std::string(d.name) + ", connection reset");
    }
}

// The power goes at any call: only what was flushed is on the disk when the
// next cycles run.
TEST_F(CrashSweep, PowerLostAnywhere) {
#ifdef __SANITIZE_ADDRESS__
    // Under the sanitizers, reads of the remounted test disk now and then
    // failed with EIO (the test's own reads, on one file, with nothing in the
    // kernel log), which no plain build ever showed. The cut checks files on
    // the disk, which the sanitizers add nothing to; the plain build sweeps it.
    GTEST_SKIP() << "the power-loss sweep runs in the build without sanitizers";
#endif
    PowerCutDisk disk(dir.path(), dir / "disk", 96 << 20);
    if (!disk.ok())
        GTEST_SKIP() << disk.skipReason();
    // The cut itself: what was not flushed is gone afterwards.
    WriteFile(dir / "disk/flushed", "on the disk");
    ::sync();
    WriteFile(dir / "disk/unflushed", "in memory only");
    ASSERT_TRUE(disk.CutPower());
    ASSERT_TRUE(Exists(dir / "disk/flushed"));
    ASSERT_FALSE(Exists(dir / "disk/unflushed"));
    fs::create_directories(dir / "disk/home");
    Mailbox m(dir / "disk/home", dir / "disk/home", dir.path());
    for (const Direction& d : {kReceive, kSend})
        Report(SweepCycle(m, d, Cut::PowerLoss, Sample(3), {&disk}),
               std::string(d.name) + ", power loss");

    // The inbox and outbox on a second disk that loses its power too.
    fs::create_directories(dir / "second");
    PowerCutDisk second(dir / "second", dir / "disk2", 96 << 20);
    ASSERT_TRUE(second.ok()) << second.skipReason();
    Mailbox across(dir / "disk/home", dir / "disk2", dir.path());
    for (const Direction& d : {kReceive, kSend})
        Report(SweepCycle(across, d, Cut::PowerLoss, Sample(2), {&disk, &second}),
               std::string(d.name) + ", power loss, two file systems");
}

// The same promise over SFTP (sshd, the host key pinned): kill -9 at any call
// and a connection reset at any socket call, fewer points.
TEST_F(CrashSweep, OverSftpKilledOrCutOffAnywhere) {
    SftpServer& server = SharedSftpd();
    fs::create_directories(dir / "home");
    Mailbox m(dir / "home", dir / "home", dir.path(), server, server.fingerprint());
    for (const Direction& d : {kReceive, kSend}) {
        Report(SweepCycle(m, d, Cut::Kill, Sample(4)), std::string(d.name) + " over SFTP");
        Report(SweepCycle(m, d, Cut::ConnectionReset, Sample(3)),
               std::string(d.name) + " over SFTP, connection reset");
    }
}
