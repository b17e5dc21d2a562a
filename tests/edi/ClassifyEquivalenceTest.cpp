// The one-pass scanner against the literal reading of the rules, on generated
// files built from the pieces the rules react to, read in pieces of many sizes.
#include "ClassifyReference.h"
#include "edi/Classify.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <unistd.h>

using namespace kv;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

// clang-format off
const char* const kStarts[] = {
    "00:", "UNA:+.? '", "UNA", "UNB+", "UNB", "UNH+",
    "<?xml version=\"1.0\"?>", "<?xml", "unb+", "\xEF\xBB\xBFUNA",
    "0", "00", "U", "UN", "<?xm", "\r", "0\r0:", "U\rNB+", "<", "",
};

const char* const kPieces[] = {
    "UNB+", "UNH+", "UN", "U", "NB+", "NH+",
    "+", "+", "+", ":", ":", ":",
    "'", "''",
    "UNOA:1", "SENDER:ZZ", "recv:14", "INVOIC:D:96A:UN",
    "\r", "\n", "\n", "\r\n", "\r\r", "\n\n",
    "<SenderCode>", "</SenderCode>", "<SenderID>", "</SenderID>", "<SENDER_ID>", "</SENDER_ID>",
    "<ReceiverCode>", "</ReceiverCode>", "<ReceiverID>", "</ReceiverID>",
    "<RECEIVER_ID>", "</RECEIVER_ID>",
    "<MessageType>", "</MessageType>", "<MSG_TYPE>", "</MSG_TYPE>",
    "<Sender", "</Sender", "Code>", "ID>", "<", ">", "</", "<?xml",
    "00:", "BGM+380'", "<?", "xml",
};
// clang-format on

std::string Word(std::mt19937& rng) {
    static const char kChars[] = "abcXYZ019 _-'+:<>/?\r";
    std::string w(rng() % 12 + 1, ' ');
    for (auto& c : w)
        c = kChars[rng() % (sizeof kChars - 1)];
    return w;
}

const char* const kLineBreaks[] = {"\n", "\r\n", "\r", "", "", "\n\n"};
const char* const kSegments[] = {"UNB", "UNH", "UNB", "UNH", "BGM", "NAD", "UNT", "UN", "U", "unb"};
const char* const kXmlTags[] = {"SenderCode",   "SenderID",   "SENDER_ID",
                                "ReceiverCode", "ReceiverID", "RECEIVER_ID",
                                "MessageType",  "MSG_TYPE",   "Doc"};

std::string Pick(std::mt19937& rng, const char* const* list, size_t n) {
    return list[rng() % n];
}

// Fields joined by sep, some empty, some long.
std::string Fields(std::mt19937& rng, char sep, unsigned max) {
    std::string s;
    for (unsigned n = rng() % max; n > 0; --n) {
        unsigned r = rng() % 10;
        s += r < 1 ? std::string() : r < 9 ? Word(rng) : std::string(rng() % 120 + 20, 'L');
        if (n > 1)
            s += sep;
    }
    return s;
}

std::string Flat(std::mt19937& rng) {
    std::string s = "00:" + Fields(rng, ':', 9);
    if (rng() % 2)
        s += "'";
    return s;
}

std::string Edifact(std::mt19937& rng) {
    std::string s = rng() % 2 ? "UNA:+.? '" + Pick(rng, kLineBreaks, std::size(kLineBreaks)) : "";
    for (unsigned n = rng() % 8 + 1; n > 0; --n) {
        s += Pick(rng, kSegments, std::size(kSegments)) + "+";
        for (unsigned e = rng() % 6; e > 0; --e)
            s += Fields(rng, ':', 3) + (e > 1 ? "+" : "");
        s += "'" + Pick(rng, kLineBreaks, std::size(kLineBreaks));
    }
    return s;
}

std::string Xml(std::mt19937& rng) {
    std::string s = rng() % 8 ? "<?xml version=\"1.0\"?>" : "";
    for (unsigned n = rng() % 10 + 1; n > 0; --n) {
        std::string tag = Pick(rng, kXmlTags, std::size(kXmlTags));
        unsigned r = rng() % 10;
        if (r < 6)
            s += "<" + tag + ">" + Word(rng) + "</" + tag + ">";
        else if (r < 8)
            s += "<" + tag + ">" + Word(rng);
        else
            s += "</" + tag + ">";
        if (rng() % 3 == 0)
            s += Pick(rng, kLineBreaks, std::size(kLineBreaks));
    }
    return s;
}

std::string Mix(std::mt19937& rng) {
    std::string s;
    if (rng() % 10 < 8)
        s += kStarts[rng() % std::size(kStarts)];
    int pieces = static_cast<int>(rng() % 60);
    for (int i = 0; i < pieces; ++i) {
        unsigned r = rng() % 100;
        if (r < 60) {
            s += kPieces[rng() % std::size(kPieces)];
        } else if (r < 90) {
            s += Word(rng);
        } else if (r < 98) {
            // A run longer than the segment window and than small read sizes.
            static const char kRun[] = "A+:'<xS\r";
            s += std::string(rng() % 250 + 60, kRun[rng() % (sizeof kRun - 1)]);
        } else {
            // A very long line.
            s += std::string(rng() % 60000 + 5000, rng() % 2 ? 'x' : '+');
        }
    }
    return s;
}

std::string Generate(std::mt19937& rng) {
    std::string s;
    switch (rng() % 4) {
    case 0:
        s = Flat(rng);
        break;
    case 1:
        s = Edifact(rng);
        break;
    case 2:
        s = Xml(rng);
        break;
    default:
        s = Mix(rng);
        break;
    }
    if (rng() % 3 == 0)
        s += Mix(rng);
    // Damage: cut anywhere (headers included), or scatter CR and LF.
    unsigned r = rng() % 8;
    if (r == 0 && !s.empty())
        s.resize(rng() % s.size());
    for (unsigned n = r == 1 ? rng() % 6 + 1 : 0; n > 0 && !s.empty(); --n)
        s.insert(rng() % s.size(), 1, "\r\n"[rng() % 2]);
    return s;
}

int OpenRead(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

unsigned Seed() {
    const char* env = std::getenv("KORVANE_EDI_SEED");
    return env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10)) : 20260104u;
}

} // namespace

TEST(ClassifyEquivalence, GeneratedFilesMatchTheLiteralRules) {
    TempDir d;
    std::mt19937 rng(Seed());
    const size_t smallSizes[] = {1, 2, 3, 5, 8, 13, 64, 4096};
    const size_t largeSizes[] = {61, 4096, kScanReadSize};
    int compared = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string content = Generate(rng);
        std::string path = d / ("g" + std::to_string(i % 50) + ".edi");
        WriteFile(path, content);
        SCOPED_TRACE("file " + std::to_string(i) + " seed " + std::to_string(Seed()) +
                     " content: " + testing::PrintToString(content.substr(0, 400)));

        kvref::Result ref = kvref::ClassifyFile("g.edi", path, true);
        Classification fast = ClassifyFile(path, "g.edi", Direction::Incoming);
        ASSERT_TRUE(ref.ok);
        ASSERT_TRUE(fast.ok);
        ASSERT_EQ(fast.sender, ref.sender);
        ASSERT_EQ(fast.receiver, ref.receiver);
        ASSERT_EQ(fast.type, ref.type);

        int fd = OpenRead(path);
        ASSERT_GE(fd, 0);
        bool small = content.size() <= 3000;
        for (size_t size :
             small ? std::vector<size_t>(std::begin(smallSizes), std::end(smallSizes))
                   : std::vector<size_t>(std::begin(largeSizes), std::end(largeSizes))) {
            SCOPED_TRACE("read size " + std::to_string(size));
            ContentTexts all = ScanContent(fd, path, kAllParts, size);
            ASSERT_EQ(all.sender, ref.sender);
            ASSERT_EQ(all.receiver, ref.receiver);
            ASSERT_EQ(all.type, ref.type);
            // Each part alone stops at its own place and must not differ.
            ASSERT_EQ(ScanContent(fd, path, kSenderPart, size).sender, ref.sender);
            ASSERT_EQ(ScanContent(fd, path, kReceiverPart, size).receiver, ref.receiver);
            ASSERT_EQ(ScanContent(fd, path, kTypePart, size).type, ref.type);
            ++compared;
        }
        ::close(fd);
    }
    EXPECT_GT(compared, 15000);
}

TEST(ClassifyEquivalence, GeneratedNamesMatchTheLiteralRules) {
    std::mt19937 rng(Seed());
    static const char kChars[] = "CNcnUSus_._ZIPzipEATeat0129";
    const char* const kHeads[] = {"CN_", "cn_", "CUS", "cus", "Cn_", ""};
    const char* const kTails[] = {".ZIP", ".zip", ".EAT", ".eAt", "", "_"};
    for (int i = 0; i < 20000; ++i) {
        std::string name = kHeads[rng() % std::size(kHeads)];
        for (unsigned n = rng() % 20; n > 0; --n)
            name += kChars[rng() % (sizeof kChars - 1)];
        name += kTails[rng() % std::size(kTails)];
        for (bool incoming : {true, false}) {
            SCOPED_TRACE(name);
            kvref::Result ref;
            Classification fast;
            bool r = kvref::ClassifyByName(name, incoming, ref);
            bool f =
                ClassifyByName(name, incoming ? Direction::Incoming : Direction::Outgoing, fast);
            ASSERT_EQ(f, r);
            if (r) {
                ASSERT_EQ(fast.sender, ref.sender);
                ASSERT_EQ(fast.receiver, ref.receiver);
                ASSERT_EQ(fast.type, ref.type);
            }
        }
    }
}
