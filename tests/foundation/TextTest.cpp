#include "util/Text.h"
#include "util/Errors.h"

#include <gtest/gtest.h>

using namespace kv;

TEST(Text, StrictIntegerConversion) {
    EXPECT_EQ(StrToInt("21"), 21);
    EXPECT_EQ(StrToInt("-5"), -5);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    // 20-digit values must not wrap around to small ones.
    EXPECT_EQ(TryStrToInt64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(TryStrToInt64("-9223372036854775808"), INT64_MIN);
    for (const char* big : {"18446744073709551616", "18446744073709551617", "92233720368547758080",
                            "9223372036854775808"})
        EXPECT_FALSE(TryStrToInt64(big)) << big;
    for (const char* bad : {"", " 21", "21 ", "0x15", "$15", "2.5", "abc", "-", "2147483648",
                            "99999999999999999999999", "4294967297"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const ConversionError& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST(Text, TrimCaseAndCrLf) {
    EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(UpperCase("bin\xC8"), "BIN\xC8"); // only ASCII letters change
    EXPECT_TRUE(EqualsNoCase("Options", "OPTIONS"));
    EXPECT_EQ(FirstCrLfToBlank("Socket Error # 10061\r\nConnection refused.\r\nx"),
              "Socket Error # 10061 Connection refused.\r\nx");
}

TEST(Text, WildcardMatchIgnoresCase) {
    EXPECT_TRUE(WildcardMatchNoCase("kv*.ini", "KVCHS.INI"));
    EXPECT_TRUE(WildcardMatchNoCase("kv*.ini", "kv.ini"));
    EXPECT_FALSE(WildcardMatchNoCase("kv*.ini", "xkv.ini"));
    EXPECT_FALSE(WildcardMatchNoCase("kv*.ini", "kvchs.ini.bak"));
    EXPECT_TRUE(WildcardMatchNoCase("KVSYS*.LOG", "kvsys202612.log"));
    EXPECT_TRUE(WildcardMatchNoCase("*.*", "noext"));
    EXPECT_TRUE(WildcardMatchNoCase("a*b*c", "aXXbYYbc"));
    EXPECT_TRUE(WildcardMatchNoCase("a?c", "abc"));
}
