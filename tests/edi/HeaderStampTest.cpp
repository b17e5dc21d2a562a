#include "edi/HeaderStamp.h"
#include "support/TestSupport.h"
#include "util/Fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace kv;
using kvtest::ReadFile;
using kvtest::StateFixture;
using kvtest::WithoutStamp;
using kvtest::WriteFile;

namespace {

struct StampFixture : StateFixture {
    StampFixture() {
        ::mkdir(path("out").c_str(), 0755);
        state.settings.FileSender = "ABC1234";
        std::time_t t = kvtest::LocalTime(2026, 3, 4, 7, 5, 59);
        state.Now = [t] { return t; };
    }
    std::string file(const std::string& name) const { return path("out/" + name); }
    // Everything in the outbox folder, hidden files included.
    std::vector<std::string> outbox() const { return ListFolder(path("out"), "*", false); }
};

const char* const kHeader = "00:CNC102:CNC102:9:ABC1234:CUSTOM:202603040705:CNNGB'\r\n";

} // namespace

TEST(AddCnc102Header, StampsHeaderAndTrailerAndDropsEmptyLines) {
    StampFixture f;
    WriteFile(f.file("empty.txt"), "");
    AddCnc102Header(f.state, f.file("empty.txt"));
    EXPECT_EQ(ReadFile(f.file("empty.txt")), std::string(kHeader) + "99:2'\r\n");

    // Three text lines and two empty ones, with every kind of line break and a
    // last line without one; lower-case "un" is not an interchange start.
    WriteFile(f.file("a.txt"), "un first\r\n\r\nsecond\rthird\n\n");
    ::chmod(f.file("a.txt").c_str(), 0640);
    AddCnc102Header(f.state, f.file("a.txt"));
    EXPECT_EQ(ReadFile(f.file("a.txt")),
              std::string(kHeader) + "un first\r\nsecond\r\nthird\r\n99:5'\r\n");
    struct stat st;
    ASSERT_EQ(::stat(f.file("a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    std::string longLine(3 * 1024 * 1024 + 7, 'x');
    WriteFile(f.file("long.txt"), "L1\r" + longLine);
    AddCnc102Header(f.state, f.file("long.txt"));
    EXPECT_EQ(ReadFile(f.file("long.txt")),
              std::string(kHeader) + "L1\r\n" + longLine + "\r\n99:4'\r\n");

    ASSERT_EQ(f.host.view.size(), 3u);
    EXPECT_EQ(WithoutStamp(f.host.view[1]),
              "INFO:File->" + f.file("a.txt") + " Add File Head Successfully!");
    EXPECT_EQ(f.outbox(), (std::vector<std::string>{"a.txt", "empty.txt", "long.txt"}));
}

TEST(AddCnc102Header, LeavesFlatAndInterchangeFilesAlone) {
    StampFixture f;
    const std::string flat = "00:CNC102:x'\nbody\n";
    const std::string edi = "UNB+UNOA:1+S+R'\n";
    WriteFile(f.file("flat.txt"), flat);
    WriteFile(f.file("edi.txt"), edi);
    AddCnc102Header(f.state, f.file("flat.txt"));
    AddCnc102Header(f.state, f.file("edi.txt"));
    EXPECT_EQ(ReadFile(f.file("flat.txt")), flat);
    EXPECT_EQ(ReadFile(f.file("edi.txt")), edi);
    EXPECT_TRUE(f.host.view.empty());
}

TEST(SetFlatHeaderParties, SetsThePartyFieldsByPosition) {
    StampFixture f;
    f.state.settings.FileSender = "NEWSND";
    WriteFile(f.file("p.txt"), "00:PREMFT:V1:9:OLDSND:OLDRCV:T'\nline 2\n\nline 4");
    EXPECT_TRUE(SetFlatHeaderParties(f.state, f.file("p.txt")));
    EXPECT_EQ(ReadFile(f.file("p.txt")),
              "00:PREMFT:V1:9:NEWSND:TOLMA:T'\r\nline 2\r\n\r\nline 4\r\n");

    // A value that also appears earlier in the line is set in its own field.
    WriteFile(f.file("q.txt"), "00:ABCD:V1:9:BC:CD'\r\n");
    EXPECT_TRUE(SetFlatHeaderParties(f.state, f.file("q.txt")));
    EXPECT_EQ(ReadFile(f.file("q.txt")), "00:ABCD:V1:9:NEWSND:TOLMA'\r\n");
    WriteFile(f.file("u.txt"), "00:PREMFT:V1:9:P:PREMFT\r\n");
    EXPECT_TRUE(SetFlatHeaderParties(f.state, f.file("u.txt")));
    EXPECT_EQ(ReadFile(f.file("u.txt")), "00:PREMFT:V1:9:NEWSND:TOLMA\r\n");
    // Empty fields are filled where they are; a last field keeps its "'".
    WriteFile(f.file("r.txt"), "00:PREMFT:V1:9:::T'");
    EXPECT_TRUE(SetFlatHeaderParties(f.state, f.file("r.txt")));
    EXPECT_EQ(ReadFile(f.file("r.txt")), "00:PREMFT:V1:9:NEWSND:TOLMA:T'\r\n");
    WriteFile(f.file("v.txt"), "00:X:1:2::'");
    EXPECT_TRUE(SetFlatHeaderParties(f.state, f.file("v.txt")));
    EXPECT_EQ(ReadFile(f.file("v.txt")), "00:X:1:2:NEWSND:TOLMA'\r\n");

    // A CR LF pair split between two reads is one line break.
    std::string head = "00:P:V:9:S:R'\n";
    std::string body(64 * 1024 - 1 - head.size(), 'b');
    WriteFile(f.file("t.txt"), head + body + "\r\nlast\r\n");
    EXPECT_TRUE(SetFlatHeaderParties(f.state, f.file("t.txt")));
    EXPECT_EQ(ReadFile(f.file("t.txt")), "00:P:V:9:NEWSND:TOLMA'\r\n" + body + "\r\nlast\r\n");

    const std::string other = "0:PREMFT:V1:9:A:B'\n";
    WriteFile(f.file("s.txt"), other);
    EXPECT_FALSE(SetFlatHeaderParties(f.state, f.file("s.txt")));
    EXPECT_EQ(ReadFile(f.file("s.txt")), other);
    EXPECT_EQ(f.outbox(), (std::vector<std::string>{"p.txt", "q.txt", "r.txt", "s.txt", "t.txt",
                                                    "u.txt", "v.txt"}));
}

// A name near the 255-byte limit: the hidden name of the rewrite fits too.
TEST(SetFlatHeaderParties, LongNamesAreRewritten) {
    StampFixture f;
    f.state.settings.FileSender = "NEWSND";
    const std::string name = std::string(251, 'n') + ".TXT";
    WriteFile(f.file(name), "00:PREMFT:V1:9:A:B'\r\n");
    EXPECT_TRUE(SetFlatHeaderParties(f.state, f.file(name)));
    EXPECT_EQ(ReadFile(f.file(name)), "00:PREMFT:V1:9:NEWSND:TOLMA'\r\n");
    EXPECT_EQ(f.outbox(), std::vector<std::string>{name});
}

TEST(UnwrapEdifact, JoinsNonEmptyLines) {
    StampFixture f;
    WriteFile(f.file("i.edi"), "UNA:+.? '\r\nUNB+UNOA:1+S+R'\r\n\r\nUNH+1+INVOIC'\r\n");
    EXPECT_TRUE(UnwrapEdifact(f.file("i.edi")));
    EXPECT_EQ(ReadFile(f.file("i.edi")), "UNA:+.? 'UNB+UNOA:1+S+R'UNH+1+INVOIC'");
    WriteFile(f.file("j.edi"), "UNB+x'\rUNH+1'\nUNT'");
    EXPECT_TRUE(UnwrapEdifact(f.file("j.edi")));
    EXPECT_EQ(ReadFile(f.file("j.edi")), "UNB+x'UNH+1'UNT'");

    // One line already: left as it is, not even rewritten (same inode).
    WriteFile(f.file("one.edi"), "UNB+x'UNH+1'UNT'");
    struct stat before {
    }, after{};
    ::stat(f.file("one.edi").c_str(), &before);
    EXPECT_FALSE(UnwrapEdifact(f.file("one.edi")));
    ::stat(f.file("one.edi").c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);

    const std::string unh = "UNH+1+INVOIC'\r\nBGM+380'\r\n";
    WriteFile(f.file("k.edi"), unh);
    EXPECT_FALSE(UnwrapEdifact(f.file("k.edi")));
    EXPECT_EQ(ReadFile(f.file("k.edi")), unh);
}

TEST(HeaderStamp, FailuresLeaveTheOriginalAndNoTemporaryFile) {
    StampFixture f;
    // Too few fields for the parties.
    const std::string five = "00:PREMFT:V1:9:ONLY5'\r\nbody\r\n";
    WriteFile(f.file("five.txt"), five);
    EXPECT_THROW(SetFlatHeaderParties(f.state, f.file("five.txt")), HeaderFieldsError);
    EXPECT_EQ(ReadFile(f.file("five.txt")), five);

    // A file a program still holds open for writing: a byte it writes next
    // would go to the file a rewrite replaced, so none takes place.
    for (const char* name : {"open.txt", "open.edi", "open.cnc"}) {
        const std::string content = std::string(name).ends_with(".txt")
                                        ? "00:PREMFT:9:20261207:A:B:1\r\nx\r\n"
                                    : std::string(name).ends_with(".edi") ? "UNB+1'\r\nUNH+1'\r\n"
                                                                          : "plain\r\n";
        WriteFile(f.file(name), content);
        const int writer = ::open(f.file(name).c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(writer, 0);
        if (std::string(name).ends_with(".txt"))
            EXPECT_THROW(SetFlatHeaderParties(f.state, f.file(name)), FileStillWrittenError);
        else if (std::string(name).ends_with(".edi"))
            EXPECT_THROW(UnwrapEdifact(f.file(name)), FileStillWrittenError);
        else
            EXPECT_THROW(AddCnc102Header(f.state, f.file(name)), FileStillWrittenError);
        ::close(writer);
        EXPECT_EQ(ReadFile(f.file(name)), content) << name;
        ::unlink(f.file(name).c_str());
    }

    // A missing file.
    EXPECT_THROW(AddCnc102Header(f.state, f.file("gone.txt")), FileError);
    EXPECT_THROW(UnwrapEdifact(f.file("gone.txt")), FileError);

    // The disk fills up while the new content is written.
    const std::string big = "UNB+" + std::string(200000, 'x') + "\r\nUNH+1'\r\n";
    const std::string plain = "text\r\n" + std::string(200000, 'y');
    WriteFile(f.file("big.edi"), big);
    WriteFile(f.file("plain.txt"), plain);
    struct rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit lim = old;
    lim.rlim_cur = 100000;
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &lim);
    EXPECT_THROW(UnwrapEdifact(f.file("big.edi")), FileError);
    EXPECT_THROW(AddCnc102Header(f.state, f.file("plain.txt")), FileError);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ReadFile(f.file("big.edi")), big);
    EXPECT_EQ(ReadFile(f.file("plain.txt")), plain);
    EXPECT_TRUE(f.host.view.empty());

    EXPECT_EQ(f.outbox(), (std::vector<std::string>{"big.edi", "five.txt", "plain.txt"}));
}
