// Reply assembly, reply codes, the PASV / SIZE / PWD parsers, listing lines
// (LIST in the UNIX and DOS forms, MLSD), trace lines and the socket error texts, without any
// connection.
#include "ftp/FtpReply.h"
#include "ftp/FtpListingText.h"
#include "remote/RemoteErrors.h"
#include "util/Errors.h"

#include <cerrno>
#include <gtest/gtest.h>

using namespace kv;
using namespace kv::ftp;

namespace {

// Feeds the text in pieces of `step` bytes, as a network read would.
ReplyReader ReadAll(const std::string& text, size_t step, size_t* left = nullptr) {
    ReplyReader r;
    std::string buf;
    size_t pos = 0;
    while (!r.Done() && pos < text.size()) {
        buf.append(text.substr(pos, step));
        pos += step;
        buf.erase(0, r.Consume(buf));
    }
    if (left)
        *left = buf.size() + (text.size() > pos ? text.size() - pos : 0);
    return r;
}

} // namespace

TEST(FtpReply, MultiLineReplyKeepsForeignDigitLinesAndEndsAtItsOwnCode) {
    // Padded or short intermediary lines never end the reply.
    const std::string text = "230-Welcome\r\n230-Line two\r\n150 foreign digits\r\n"
                             "  230x indented\r\n\r\n  230 padded\r\nab\r\n230 Done\r\n"
                             "200 next reply\r\n";
    for (size_t step : {1u, 3u, 7u, 1000u}) {
        size_t left = 0;
        ReplyReader r = ReadAll(text, step, &left);
        ASSERT_TRUE(r.Done()) << step;
        EXPECT_EQ(r.Code(), 230);
        EXPECT_EQ(r.Lines(),
                  (std::vector<std::string>{"230-Welcome", "230-Line two", "150 foreign digits",
                                            "230x indented", "230 padded", "ab", "230 Done"}));
        // The next reply stays for the next read.
        EXPECT_EQ(left, std::string("200 next reply\r\n").size()) << step;
    }
}

TEST(FtpReply, ClosingLineMatchesWithoutLetterCase) {
    ReplyReader r = ReadAll("abc-x\nABC y\n", 100);
    EXPECT_TRUE(r.Done());
    EXPECT_EQ(r.Lines().size(), 2u);
    ReplyReader s = ReadAll("211-status\n\tok\r\n", 100);
    EXPECT_FALSE(s.Done());
    EXPECT_EQ(s.Lines().back(), "ok");
    ReplyReader t = ReadAll("220 no line end yet", 100);
    EXPECT_FALSE(t.Done());
}

TEST(FtpReply, CodesOfOddLines) {
    EXPECT_EQ(ReplyCode("+OK fine"), 1);
    EXPECT_EQ(ReplyCode("-ERR bad"), 0);
    EXPECT_EQ(ReplyCode("abc letters"), 0);
    EXPECT_EQ(ReplyCode("550 No such file."), 550);
    EXPECT_EQ(ReplyCode("22"), 22);
    EXPECT_EQ(ReplyCode(""), 0);
}

TEST(FtpReply, LimitsAgainstEndlessReplies) {
    ReplyReader r;
    std::string longLine(kMaxReplyLineBytes + 1, 'x');
    // Refused while the line is still incomplete, before it grows further.
    EXPECT_THROW(r.Consume(longLine), FtpLimitError);
    ReplyReader ok;
    std::string fits = "200 " + std::string(kMaxReplyLineBytes - 4, 'y') + "\r\n";
    ok.Consume(fits);
    EXPECT_TRUE(ok.Done());

    std::string many = "200-first\r\n";
    for (size_t i = 0; i < kMaxReplyLines; ++i)
        many += "more\r\n";
    ReplyReader m;
    EXPECT_THROW(m.Consume(many), FtpLimitError);
    std::string enough = "200-first\r\n";
    for (size_t i = 0; i + 2 < kMaxReplyLines; ++i)
        enough += "more\r\n";
    enough += "200 end\r\n";
    ReplyReader e;
    e.Consume(enough);
    EXPECT_TRUE(e.Done());
    EXPECT_EQ(e.Lines().size(), kMaxReplyLines);
}

TEST(FtpReply, PasvWithAndWithoutBrackets) {
    PasvTarget a = ParsePasvReply("227 Entering Passive Mode (10,0,0,5,4,1)");
    EXPECT_EQ(a.Address, "10.0.0.5");
    EXPECT_EQ(a.Port, 1025);
    PasvTarget b = ParsePasvReply("227 =10,0,0,5,4,1");
    EXPECT_EQ(b.Address, "10.0.0.5");
    EXPECT_EQ(b.Port, 1025);
    PasvTarget c = ParsePasvReply("  227 Entering Passive Mode (127,0,0,1,117,48).  ");
    EXPECT_EQ(c.Port, 117 * 256 + 48);
}

TEST(FtpReply, PasvGarbageFailsClearly) {
    try {
        ParsePasvReply("227 Entering Passive Mode (10,0,0,5,x,1)");
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
    }
    EXPECT_THROW(ParsePasvReply("227 (10,0,0,5,4)"), ConversionError);
    EXPECT_THROW(ParsePasvReply("227 ok"), ConversionError);
    EXPECT_THROW(ParsePasvReply("227 (1,2,3,4,256,1)"), FtpError);
    EXPECT_THROW(ParsePasvReply("227 (1,2,3,4,0,0)"), FtpError);
    EXPECT_THROW(ParsePasvReply("227 )1,2,3,4,5,6("), ConversionError);
}

TEST(FtpReply, SizeAndPwd) {
    EXPECT_EQ(ParseSizeReply({"213 12345"}), 12345);
    EXPECT_EQ(ParseSizeReply({"213 0"}), 0);
    EXPECT_EQ(ParseSizeReply({"213 12a"}), -1);
    EXPECT_EQ(ParseSizeReply({"213"}), -1);
    EXPECT_EQ(ParseSizeReply({"213 -5"}), -1);
    // The whole text counts: after its first blank comes the last line's number.
    EXPECT_EQ(ParseSizeReply({"213-size", "213 7"}), 7);
    EXPECT_EQ(ParseSizeReply({"213-file size", "213 7"}), -1);
    EXPECT_EQ(ParseSizeReply({"213 8589934592"}), 8589934592LL);

    EXPECT_EQ(ParsePwdReply("257 \"/out/sub dir\" is the current directory"), "/out/sub dir");
    EXPECT_EQ(ParsePwdReply("257 /no/quotes"), "");
    EXPECT_EQ(ParsePwdReply("257 \"/open"), "/open");
}

TEST(FtpReply, ListingLines) {
    // A bare CR belongs to its line; empty lines are dropped.
    EXPECT_EQ(SplitListing("a\r\nb\nc\rd\r\n"), (std::vector<std::string>{"a", "b", "c\rd"}));
    EXPECT_EQ(SplitListing("a\r\n\r\nb"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(SplitListing("").empty());
    EXPECT_TRUE(SplitListing(std::string(1 << 20, '\n')).empty());
    EXPECT_EQ(SplitListing("x\ny\nz\n", 3).size(), 3u);
    EXPECT_THROW(SplitListing("x\ny\nz\nw", 3), kv::FtpLimitError);
}

// Every form a server may list an entry in, and the exact name each gives:
// the blanks of a name stay, the column padding before it does not.
TEST(FtpListingText, NamesKindsSizesAndTimes) {
    struct Case {
        const char* line;
        bool mlsd;
        bool recognised;
        std::string name;
        RemoteKind kind;
        int64_t size;
        std::string time;
    };
    const RemoteKind F = RemoteKind::File, D = RemoteKind::Folder, L = RemoteKind::Link;
    const std::vector<Case> cases = {
        {"-rw-r--r--   1 edi  edi   1234 Jan 05 10:15 INV 001.txt", false, true, "INV 001.txt", F,
         1234, ""},
        {"-rw-r--r--    1 999      995            18 Dec 07 07:50 probe.txt", false, true,
         "probe.txt", F, 18, ""},
        {"-rw-r--r--    1 65534      nogroup   18 Dec  7 07:50 out/a.edi", false, true, "a.edi", F,
         18, ""},
        {"-rw-r--r-- 1 u g 5 Jan 1 2020 /x/y/z.txt", false, true, "z.txt", F, 5, ""},
        {"-rw-r--r--   1 root     root            3 Dec 07 07:50  lead.txt", false, true,
         " lead.txt", F, 3, ""},
        {"-rw-r--r--   1 root     root            3 Dec 07  2025 trail.txt  ", false, true,
         "trail.txt  ", F, 3, ""},
        {"-rw-r--r--   1 root     root            3 Dec 07 07:50 gr\xc3\xb6\xc3\x9f"
         "e.edi",
         false, true,
         "gr\xc3\xb6\xc3\x9f"
         "e.edi",
         F, 3, ""},
        {"drwxr-xr-x   2 root     root         4096 Dec 07 07:50 sub", false, true, "sub", D, 4096,
         ""},
        {"lrwxrwxrwx   1 root     root            5 Dec 07 07:50 ln -> a.edi", false, true,
         "ln -> a.edi", L, 5, ""},
        {"-rw-r--r-- 1 u g big Jan 1 2020 x", false, true, "x", F, -1, ""},
        {"-rw-r--r-- 1 u g 5 Jan 1 2020 ..", false, true, "..", F, 5, ""},
        {"-rw a b c d", false, true, "d", F, -1, ""},
        {"01-05-26  10:15AM                 1234  two  blanks.txt", false, true, " two  blanks.txt",
         F, 1234, ""},
        {"01-05-2026  10:15PM       <DIR>          Sub Folder", false, true, "Sub Folder", D, -1,
         ""},
        {"total 12", false, true, "", RemoteKind::Other, -1, ""},
        {"this is not a listing", false, false, "", RemoteKind::Other, -1, ""},
        {"type=file;size=42;modify=20261207075001.123;UNIX.mode=0644;  lead and trail  ", true,
         true, " lead and trail  ", F, 42, "20261207075001"},
        {"Type=dir;Modify=20261207075001; sub", true, true, "sub", D, -1, "20261207075001"},
        {"type=cdir;modify=20261207075001; .", true, true, ".", D, -1, "20261207075001"},
        {"type=OS.unix=symlink;size=5; ln", true, true, "ln", L, 5, ""},
        {"type=file;modify=2026; odd time.txt", true, true, "odd time.txt", F, -1, ""},
        {"type=file;size=7 no-semicolon", true, false, "", RemoteKind::Other, -1, ""},
        {"nofacts", true, false, "", RemoteKind::Other, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const ListingLine l = c.mlsd ? ParseMlsdLine(c.line) : ParseListingLine(c.line);
        EXPECT_EQ(l.recognised, c.recognised);
        if (!c.recognised || c.name.empty())
            continue;
        EXPECT_EQ(l.entry.name, c.name);
        EXPECT_EQ(l.entry.kind, c.kind);
        EXPECT_EQ(l.entry.size, c.size);
        EXPECT_EQ(l.entry.time, c.time);
    }
}

// A server that refuses "*.*" gets the plain listing filtered this way: as a
// shell's expansion, which leaves names starting with "." to a pattern that
// starts with ".".
TEST(FtpListingText, PatternFilterAndOrder) {
    EXPECT_TRUE(MatchesListingPattern("*.*", "a.edi"));
    EXPECT_TRUE(MatchesListingPattern("*.*", " lead.txt"));
    EXPECT_FALSE(MatchesListingPattern("*.*", "README"));
    EXPECT_FALSE(MatchesListingPattern("*.*", ".hidden.txt"));
    EXPECT_TRUE(MatchesListingPattern("", "README"));
    std::vector<RemoteEntry> entries;
    for (const char* name : {"B", "a.x", "C", "d.y"})
        entries.push_back(RemoteEntry{name, RemoteKind::File, -1, ""});
    PatternFirst(entries, "*.*");
    std::vector<std::string> names;
    for (const RemoteEntry& e : entries)
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"a.x", "d.y", "B", "C"}));
}

TEST(FtpReply, TraceLineShowsEveryCrLf) {
    EXPECT_EQ(TraceLine("12/07/25 08:00:00", "Recv: 230-a\r\n230 b\r\n"),
              "12/07/25 08:00:00: Recv: 230-a<EOL>230 b<EOL>");
    EXPECT_EQ(TraceLine("s", "lone\rcr\nlf"), "s: lone\rcr\nlf");
    EXPECT_FALSE(TraceStamp().empty());
}

TEST(FtpErrors, SocketErrorMessagesCarryWinsockNumbers) {
    SocketError e(10061);
    EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(e.Code(), 10061);
    EXPECT_EQ(SocketError::TextOf(10035), "Operation would block. ");
    EXPECT_EQ(SocketError::TextOf(10066), "Directory not empty");
    EXPECT_EQ(SocketError::TextOf(12345), "");
    EXPECT_STREQ(SocketError(12345).what(), "Socket Error # 12345\r\n");

    EXPECT_EQ(SocketError::FromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(SocketError::FromErrno(ECONNRESET), 10054);
    EXPECT_EQ(SocketError::FromErrno(EPIPE), 10054);
    EXPECT_EQ(SocketError::FromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(SocketError::FromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(SocketError::FromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(SocketError::FromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(SocketError::FromErrno(EADDRNOTAVAIL), 10049);
    EXPECT_EQ(SocketError::FromErrno(ENOTSOCK), 10038);
    EXPECT_EQ(SocketError::FromErrno(ESHUTDOWN), 10058);
    EXPECT_EQ(SocketError::FromErrno(EIO), 0);
    // Without a Winsock counterpart: errno itself and the C library's text.
    SocketError io = SocketError::OfErrno(EIO);
    EXPECT_EQ(io.Code(), EIO);
    EXPECT_EQ(std::string(io.what()).rfind("Socket Error # 5\r\n", 0), 0u);
}
