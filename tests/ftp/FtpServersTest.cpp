// Every operation of the session against vsftpd, pure-ftpd, proftpd and
// pyftpdlib, in passive and in active mode. The servers differ (SIZE in ASCII
// mode, wildcards in LIST, the replies around ABOR); the session must work
// with each of them.
#include "ftp/FtpTestUtil.h"
#include "remote/RemoteErrors.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>

using namespace kv;
using namespace kvtest;

namespace {

using Param = std::tuple<std::string, bool>;

FtpServer& ServerNamed(const std::string& name) {
    if (name == "vsftpd")
        return SharedVsftpd();
    if (name == "pureftpd")
        return SharedPureFtpd();
    if (name == "proftpd")
        return SharedProftpd();
    return SharedPyFtpd();
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool AnyEndsWith(const std::vector<std::string>& lines, const std::string& tail) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return EndsWith(l, tail); });
}

std::set<std::string> FilesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.insert(e.path().filename().string());
    return names;
}

class RealServer : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        name = std::get<0>(GetParam());
        passive = std::get<1>(GetParam());
        if (name != "pyftpdlib" && !RunningAsRoot())
            GTEST_SKIP() << name << " needs root";
        server = &ServerNamed(name);
    }
    std::string name;
    bool passive = true;
    FtpServer* server = nullptr;
    FtpHost host;
    TempDir local;
};

} // namespace

TEST_P(RealServer, EveryOperation) {
    const std::string base = passive ? "pasv" : "port";
    const std::string content = Pattern(150000, passive ? 11 : 12);
    server->makeDir(base + "/out");
    server->makeDir(base + "/in");
    server->writeFile(base + "/out/a.txt", content);
    server->writeFile(base + "/out/empty.txt", "");
    server->writeFile(base + "/out/big.bin", Pattern(8 << 20, 5));
    WriteFile(local / "a.txt", content);
    WriteFile(local / "empty.txt", "");
    WriteFile(local / "big.bin", Pattern(8 << 20, 6));

    auto s = MakeSession(*server, host, passive);
    s->Connect();
    ASSERT_TRUE(s->Connected());
    EXPECT_EQ(s->RetrieveCurrentDir(), "/");
    s->ChangeDir(base);
    EXPECT_EQ(s->RetrieveCurrentDir(), "/" + base);
    s->ChangeDir("out");

    std::vector<std::string> lines;
    s->List(lines, "");
    EXPECT_TRUE(AnyEndsWith(lines, " a.txt"));
    EXPECT_TRUE(AnyEndsWith(lines, " empty.txt"));
    s->List(lines, "", false);
    EXPECT_TRUE(AnyEndsWith(lines, "a.txt"));
    try {
        s->List(lines, "*.*");
        EXPECT_TRUE(AnyEndsWith(lines, "a.txt"));
    } catch (const ProtocolReplyError& e) {
        EXPECT_EQ(name, "pyftpdlib"); // it does not expand wildcards
        EXPECT_EQ(e.Code(), 550);
    }

    EXPECT_EQ(s->Size("a.txt"), 150000);
    GetResult r = s->Get("a.txt", local / "got.txt", false);
    EXPECT_TRUE(r.Complete);
    EXPECT_EQ(r.Bytes, 150000);
    EXPECT_EQ(ReadFile(local / "got.txt"), content);
    EXPECT_THROW(s->Get("a.txt", local / "got.txt", false), FileAlreadyExistsError);
    WriteFile(local / "got.txt", "old and longer than nothing");
    EXPECT_TRUE(s->Get("empty.txt", local / "got.txt", true).Complete);
    EXPECT_EQ(ReadFile(local / "got.txt"), "");
    EXPECT_THROW(s->Get("missing.txt", local / "missing.txt", false), ProtocolReplyError);

    s->ChangeDirUp();
    EXPECT_EQ(s->RetrieveCurrentDir(), "/" + base);
    s->ChangeDir("in");
    const std::string in = server->path(base + "/in");
    s->Put(local / "a.txt", "up.bin");
    EXPECT_EQ(ReadFile(in + "/up.bin"), content);
    s->Put(local / "a.txt", "up.bin", true);
    EXPECT_EQ(ReadFile(in + "/up.bin"), content + content);
    s->Put(local / "empty.txt", "empty-up.bin");
    EXPECT_EQ(ReadFile(in + "/empty-up.bin"), "");
    auto before = FilesIn(in);
    s->Put(local / "a.txt", "");
    auto after = FilesIn(in);
    ASSERT_EQ(after.size(), before.size() + 1);
    for (const auto& f : after) {
        if (!before.count(f)) {
            EXPECT_EQ(ReadFile(in + "/" + f), content) << f;
        }
    }

    s->Rename("up.bin", "renamed.bin");
    EXPECT_TRUE(Exists(in + "/renamed.bin"));
    EXPECT_FALSE(Exists(in + "/up.bin"));
    s->Delete("renamed.bin");
    EXPECT_FALSE(Exists(in + "/renamed.bin"));
    EXPECT_EQ(CaughtError<ProtocolReplyError>([&] { s->Delete("renamed.bin"); }).code, 550);
    EXPECT_THROW(s->Rename("missing.bin", "x.bin"), ProtocolReplyError);
    EXPECT_EQ(s->Size("missing.bin"), -1);

    // Commands sent together: each reply goes to its own command.
    s->Put(local / "a.txt", "p1.bin");
    s->Put(local / "a.txt", "p2.bin");
    auto sizes = s->Sizes({"p1.bin", "missing.bin", "p2.bin"});
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_EQ(sizes[0].size, static_cast<int64_t>(content.size()));
    EXPECT_EQ(sizes[1].size, -1);
    EXPECT_EQ(sizes[1].code, 550);
    EXPECT_EQ(sizes[2].size, static_cast<int64_t>(content.size()));
    std::vector<std::exception_ptr> deleted;
    s->Delete({"p1.bin", "missing.bin", "p2.bin"}, deleted);
    ASSERT_EQ(deleted.size(), 3u);
    EXPECT_FALSE(deleted[0]);
    EXPECT_TRUE(deleted[1]);
    EXPECT_FALSE(deleted[2]);
    EXPECT_FALSE(Exists(in + "/p1.bin"));
    EXPECT_FALSE(Exists(in + "/p2.bin"));
    s->Noop();

    s->SetTransferType(TransferType::Ascii);
    const int64_t asciiSize = s->Size("../out/a.txt");
    if (name == "vsftpd" || name == "pureftpd")
        EXPECT_EQ(asciiSize, 150000);
    else
        EXPECT_EQ(asciiSize, -1); // 550 for SIZE in ASCII mode
    s->SetTransferType(TransferType::Binary);

    // Abort inside a work event, as the progress display does.
    host.onWork = [&](WorkDirection, int64_t) { s->Abort(); };
    r = s->Get("../out/big.bin", local / "big-got.bin", true);
    EXPECT_FALSE(r.Complete);
    EXPECT_LT(r.Bytes, 8 << 20);
    EXPECT_EQ(s->Size("../out/big.bin"), 8 << 20);
    EXPECT_THROW(s->Put(local / "big.bin", "big-up.bin"), ConnClosedGracefullyError);
    host.onWork = nullptr;
    EXPECT_TRUE(s->Connected());
    EXPECT_EQ(s->RetrieveCurrentDir(), "/" + base + "/in");
    s->Noop();
    // Transfers after an abort work as before.
    s->Put(local / "a.txt", "after.bin");
    EXPECT_EQ(ReadFile(in + "/after.bin"), content);
    EXPECT_TRUE(s->Get("after.bin", local / "after.bin", true).Complete);
    EXPECT_EQ(ReadFile(local / "after.bin"), content);

    s->Disconnect();
    EXPECT_FALSE(s->Connected());
    EXPECT_EQ(host.disconnected, 1);
}

TEST_P(RealServer, WrongPasswordIsRefused) {
    if (!passive || name == "pureftpd")
        GTEST_SKIP() << "one mode is enough; pure-ftpd delays a failed login by seconds";
    auto s = MakeSession(*server, host, passive);
    s->Password = "wrong";
    EXPECT_EQ(CaughtError<ProtocolReplyError>([&] { s->Connect(); }).code, 530);
    EXPECT_FALSE(s->Connected());
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServer,
                         ::testing::Combine(::testing::Values("vsftpd", "pureftpd", "proftpd",
                                                              "pyftpdlib"),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<Param>& info) {
                             return std::get<0>(info.param) +
                                    (std::get<1>(info.param) ? "_passive" : "_active");
                         });
