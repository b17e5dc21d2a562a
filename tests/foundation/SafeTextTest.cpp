// Texts for a terminal and for a spreadsheet: what is kept, what is replaced.
#include "util/SafeText.h"

#include <gtest/gtest.h>

using namespace kv;

TEST(SafeText, TerminalText) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"ORDER 7.TXT", "ORDER 7.TXT"},
        {"", ""},
        {"a\tb\r\nc", "a?b??c"},            // C0, tab and line ends included
        {"\x1b]0;owned\x07", "?]0;owned?"}, // an OSC title sequence
        {"x\x7fy", "x?y"},                  // DEL
        {"\xc2\x9b"
         "31m red",
         "?31m red"},                                             // U+009B, CSI as one character
        {"\xc2\x80|\xc2\x9f|\xc2\xa0", "?|?|\xc2\xa0"},           // C1 edges; U+00A0 kept
        {"abc\xe2\x80\xaegpj.exe", "abc?gpj.exe"},                // U+202E right-to-left override
        {"\xe2\x80\xaa\xe2\x80\xad", "??"},                       // U+202A, U+202D
        {"\xe2\x81\xa6x\xe2\x81\xa9", "?x?"},                     // U+2066 .. U+2069 isolates
        {"\xe2\x80\xa9\xe2\x81\xaa", "\xe2\x80\xa9\xe2\x81\xaa"}, // neighbours kept
        {"测试.EDI", "测试.EDI"},                                 // UTF-8 letters kept
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},                 // beyond the BMP
        {"\xb2\xe2.EDI", "??.EDI"},                               // bytes that are no UTF-8
        {"\x9b"
         "1m",
         "?1m"},                 // a lone 8-bit CSI byte
        {"\xc0\x9b", "??"},      // an overlong form
        {"\xed\xa0\x80", "???"}, // a surrogate
        {"\xe2\x80", "??"},      // cut short
    };
    for (const Case& c : cases)
        EXPECT_EQ(TerminalText(c.in), c.out) << c.in;
}

TEST(SafeText, SpreadsheetCell) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"=HYPERLINK(\"x\")", "'=HYPERLINK(\"x\")"},
        {"+1+1", "'+1+1"},
        {"-2+3", "'-2+3"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"\rx", "'\rx"},
        {"a=b", "a=b"}, // only the first character counts
        {"ORDER-7", "ORDER-7"},
        {"'quoted", "'quoted"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SpreadsheetCell(c.in), c.out) << c.in;
}
