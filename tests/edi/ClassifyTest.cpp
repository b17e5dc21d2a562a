#include "edi/Classify.h"
#include "support/TestSupport.h"
#include "util/Errors.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kv;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

struct Texts {
    std::string sender, receiver, type;
    bool operator==(const Texts&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Texts& t) {
    return os << "{" << t.sender << " | " << t.receiver << " | " << t.type << "}";
}

// Classifies content written to a real file under an ordinary name.
Texts Classify(const TempDir& dir, const std::string& content) {
    static int n = 0;
    std::string path = dir / ("file" + std::to_string(++n) + ".edi");
    WriteFile(path, content);
    Classification c = ClassifyFile(path, Direction::Incoming);
    EXPECT_TRUE(c.ok);
    return {c.sender, c.receiver, c.type};
}

} // namespace

TEST(SplitFields, FieldsApostropheAndEmptyText) {
    std::vector<std::string> list{"kept"};
    EXPECT_TRUE(SplitFields("UNB+UNOA:1+SENDER:ZZ+RECEIVER:ZZ+060101:1200+7'", '+', list));
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "UNB", "UNOA:1", "SENDER:ZZ", "RECEIVER:ZZ",
                                              "060101:1200", "7"}));
    list.clear();
    EXPECT_TRUE(SplitFields("a:b:", ':', list));
    EXPECT_EQ(list, (std::vector<std::string>{"a", "b", ""}));
    list.clear();
    EXPECT_FALSE(SplitFields("", ':', list));
    EXPECT_TRUE(list.empty());
    // Only one apostrophe, and only at the very end, goes.
    EXPECT_TRUE(SplitFields("x'':y'z", ':', list));
    EXPECT_EQ(list, (std::vector<std::string>{"x''", "y'z"}));
    list.clear();
    EXPECT_TRUE(SplitFields("'", ':', list));
    EXPECT_EQ(list, (std::vector<std::string>{""}));
}

TEST(ClassifyByName, BundlesAndFixedFormatFiles) {
    Classification c;
    ASSERT_TRUE(ClassifyByName("CN_CNC102_20060101_ABC1234_01.ZIP", Direction::Incoming, c));
    EXPECT_EQ(c.sender, "ABC1234");
    EXPECT_EQ(c.receiver, "3100");
    EXPECT_EQ(c.type, "CNC102(ZIP)");
    ASSERT_TRUE(ClassifyByName("cn_Mft_2006_Abc_x.zip", Direction::Outgoing, c));
    EXPECT_EQ(c.sender, "3100");
    EXPECT_EQ(c.receiver, "Abc"); // the name's own case
    EXPECT_EQ(c.type, "Mft(ZIP)");
    // Fewer than four underscores: empty partner; one underscore: type "(ZIP)".
    ASSERT_TRUE(ClassifyByName("CN_A_B_C.ZIP", Direction::Incoming, c));
    EXPECT_EQ(c.sender, "");
    EXPECT_EQ(c.type, "A(ZIP)");
    ASSERT_TRUE(ClassifyByName("CN_.ZIP", Direction::Incoming, c));
    EXPECT_EQ(c.sender, "");
    EXPECT_EQ(c.type, "(ZIP)");
    ASSERT_TRUE(ClassifyByName("CN__x__y.zip", Direction::Incoming, c));
    EXPECT_EQ(c.type, "(ZIP)");
    EXPECT_EQ(c.sender, "");

    ASSERT_TRUE(ClassifyByName("cus1234567890.eat", Direction::Incoming, c));
    EXPECT_EQ(c.sender, "cus1234");
    EXPECT_EQ(c.receiver, "567890.");
    EXPECT_EQ(c.type, "MFT506(FIXED)");
    ASSERT_TRUE(ClassifyByName("CUS.EAT", Direction::Outgoing, c));
    EXPECT_EQ(c.sender, "CUS.EAT");
    EXPECT_EQ(c.receiver, "");

    EXPECT_FALSE(ClassifyByName("CN_X.ZIP.txt", Direction::Incoming, c));
    EXPECT_FALSE(ClassifyByName("XCN_X.ZIP", Direction::Incoming, c));
    EXPECT_FALSE(ClassifyByName("CUSX.EA", Direction::Incoming, c));
    EXPECT_FALSE(ClassifyByName("", Direction::Incoming, c));
}

TEST(ClassifyFile, NameRulesDoNotReadTheContent) {
    TempDir d;
    // Neither file exists: the name decides, and ok stays true.
    Classification c = ClassifyFile(d / "missing", "cus1234567890.eat", Direction::Incoming);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.type, "MFT506(FIXED)");
    c = ClassifyFile(d / "CN_X_Y_Z_P_Q.ZIP", Direction::Outgoing);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.receiver, "Z");
}

TEST(ClassifyFile, FlatHeaders) {
    TempDir d;
    EXPECT_EQ(Classify(d, "00:INVOIC:X:Y:SEND01:RECV01:Z\r\nmore"),
              (Texts{"SEND01", "RECV01", "INVOIC(FLAT)"}));
    EXPECT_EQ(Classify(d, "00:INVOIC"),
              (Texts{"UNKNOWN Sender", "UNKNOWN Receiver", "INVOIC(FLAT)"}));
    // Upper case; the last field loses one "'"; the header is the first line only.
    EXPECT_EQ(Classify(d, "00:premft:v1:9:abc:def'\n00:X:1:2:3:4"),
              (Texts{"ABC", "DEF", "PREMFT(FLAT)"}));
    EXPECT_EQ(Classify(d, "00:"), (Texts{"UNKNOWN Sender", "UNKNOWN Receiver", "(FLAT)"}));
    // A CR anywhere in the line is dropped, also inside the "00:" start.
    EXPECT_EQ(Classify(d, "0\r0:T\r1:a:b:s\rnd:r'\r\n"), (Texts{"SND", "R", "T1(FLAT)"}));
    EXPECT_EQ(Classify(d, "00 :A"), (Texts{"UNKNOWN", "UNKNOWN", "UNKNOWN"}));
}

TEST(ClassifyFile, EdifactInterchanges) {
    TempDir d;
    const Texts invoic{"SENDER", "RECEIVER", "INVOIC(EDIFACT)"};
    EXPECT_EQ(Classify(d, "UNA:+.? 'UNB+UNOA:2+sender:14+receiver:14+060101:1200+1'"
                          "UNH+1+INVOIC:D:96A:UN'BGM+380+1'"),
              invoic);
    EXPECT_EQ(Classify(d, "UNA:+.? '\r\nUNB+UNOA:2+sender:14+receiver:14+060101:1200+1'\r\n"
                          "UNH+1+INVOIC:D:96A:UN'\r\nBGM+380+1'\r\n"),
              invoic);
    // Lower case or a byte-order mark before UNA: not an interchange.
    const Texts unknown{"UNKNOWN", "UNKNOWN", "UNKNOWN"};
    EXPECT_EQ(Classify(d, "unb+UNOA:2+S+R+1'UNH+1+INVOIC'"), unknown);
    EXPECT_EQ(Classify(d, "\xEF\xBB\xBFUNA:+.? '\nUNB+UNOA:2+S+R'\nUNH+1+INVOIC'"), unknown);
    // No UNB+ and no UNH+ in any line.
    EXPECT_EQ(Classify(d, "UNA:+.? '\nBGM+380'\nUNT+2+1'\n"),
              (Texts{"UNKNOWN Sender", "UNKNOWN Receiver", "UNKNOWN EDIFACT"}));
    // The receiver beyond the 100-character window: cut short, or missing.
    std::string pad(80, 'P');
    // The '+' split ignores segment ends: a last field runs on into the next segment.
    EXPECT_EQ(Classify(d, "UNB+UNOA:1+S+RECEIVERID'UNH+1+ORDERS'").receiver, "RECEIVERID'UNH");
    EXPECT_EQ(Classify(d, "UNB+UNOA:1+" + pad + "+RECEIVERIDENTIFIER:ZZ'\n").receiver, "RECEIVER");
    EXPECT_EQ(Classify(d, "UNB+UNOA:1+" + pad + "1234567890+R'\n"),
              (Texts{pad + "123456789", "UNKNOWN Receiver", "UNKNOWN EDIFACT"}));
    // An empty field counts as missing; the first ':' part is taken, even empty.
    EXPECT_EQ(Classify(d, "UNB+UNOA:1++r:1'UNH+1+:D'"),
              (Texts{"UNKNOWN Sender", "R", "(EDIFACT)"}));
    // The tag is searched in the line with every CR dropped.
    EXPECT_EQ(Classify(d, "UNA\r\nUN\rB+x+s\r1:2+r'\nU\rNH+1+in\rvoic'").type, "INVOIC(EDIFACT)");
    EXPECT_EQ(Classify(d, "UNA\nUN\nB+x+s+r'\nUNH\n+1+T'"),
              (Texts{"UNKNOWN Sender", "UNKNOWN Receiver", "UNKNOWN EDIFACT"}));
}

TEST(ClassifyFile, XmlDocuments) {
    TempDir d;
    EXPECT_EQ(Classify(d, "<?xml version=\"1.0\"?>\n<Doc>\n<Head>\n<X/>\n"
                          "  <SenderCode>abc01</SenderCode><ReceiverID>xyz</ReceiverID>\n"
                          "<MSG_TYPE>cusdec</MSG_TYPE>\n"),
              (Texts{"ABC01", "XYZ", "CUSDEC(XML)"}));
    // An element split over two lines: empty value (the type keeps its suffix).
    EXPECT_EQ(Classify(d, "<?xml?>\n<SenderID>AB\nC</SenderID>\n<MessageType>\nT</MessageType>"),
              (Texts{"", "UNKNOWN Receiver", "(XML)"}));
    // The first tag in list order decides, wherever it stands on the line.
    EXPECT_EQ(Classify(d, "<?xml?><SenderID>A</SenderID><SenderCode>B</SenderCode>").sender, "B");
    // A closing tag before its opening tag: empty.
    EXPECT_EQ(Classify(d, "<?xml?></SenderID><SenderID>A</SenderID>").sender, "");
    // No declaration on line 1: nothing is looked at.
    EXPECT_EQ(Classify(d, "<Doc>\n<?xml?>\n<SenderCode>A</SenderCode>"),
              (Texts{"UNKNOWN", "UNKNOWN", "UNKNOWN"}));
    // The value of the first tag is searched again for the later tags.
    EXPECT_EQ(Classify(d, "<?xml?><SenderCode>x<SENDER_ID>in</SENDER_ID></SenderCode>").sender,
              "IN");
}

TEST(ClassifyFile, EmptyUnreadableAndMissingFiles) {
    TempDir d;
    EXPECT_EQ(Classify(d, ""), (Texts{"UNKNOWN", "UNKNOWN", "UNKNOWN"}));
    EXPECT_EQ(Classify(d, "\r\n"), (Texts{"UNKNOWN", "UNKNOWN", "UNKNOWN"}));

    Classification c = ClassifyFile(d / "missing.edi", Direction::Outgoing);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.sender, "UNKNOWN");
    EXPECT_EQ(c.receiver, "UNKNOWN");
    EXPECT_EQ(c.type, "UNKNOWN");
    ::mkdir((d / "folder.edi").c_str(), 0755); // opens, but cannot be read
    EXPECT_FALSE(ClassifyFile(d / "folder.edi", Direction::Outgoing).ok);
    ::mkfifo((d / "fifo.edi").c_str(), 0644); // no writer: must fail, not hang
    EXPECT_FALSE(ClassifyFile(d / "fifo.edi", Direction::Outgoing).ok);

    EXPECT_THROW(FindSender(d / "missing.edi"), FileError);
    EXPECT_THROW(FindReceiver(d / "folder.edi"), FileError);
    EXPECT_THROW(FindMessageType(d / "missing.edi"), FileError);
    WriteFile(d / "one.edi", "UNB+UNOA:1+S1+R1'\nUNH+1+ORDERS:D'");
    EXPECT_EQ(FindSender(d / "one.edi"), "S1");
    EXPECT_EQ(FindReceiver(d / "one.edi"), "R1");
    EXPECT_EQ(FindMessageType(d / "one.edi"), "ORDERS(EDIFACT)");
}
