#include "i18n/LangPack.h"
#include "support/TestSupport.h"
#include "util/Encoding.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kv;
using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

TEST(LangPack, SplitOnceSplitsAtTheFirstSeparatorOnly) {
    std::vector<std::string> list{"stale"};
    SplitOnce("key=value=more", "=", list);
    EXPECT_EQ(list, (std::vector<std::string>{"value=more", "key"}));
    SplitOnce("None||SOCKS4||SOCKS4A||SOCKS5", "||", list);
    EXPECT_EQ(list, (std::vector<std::string>{"SOCKS4||SOCKS4A||SOCKS5", "None"}));
    SplitOnce("no separator", "||", list);
    EXPECT_EQ(list, (std::vector<std::string>{"no separator"}));
    SplitOnce("", "=", list);
    EXPECT_EQ(list, (std::vector<std::string>{""}));
}

TEST(LangPack, MessagesAndWindowSections) {
    TempDir d;
    ::mkdir((d / "Language").c_str(), 0755);
    WriteFile(d / "Language/kven.ini", "[Info]\r\nLanguage=English\r\n"
                                       "[Messages]\r\nm01=Connect test OK\r\nM05=\r\n"
                                       "[FormKorvane]\r\n"
                                       "Caption = Korvane EDI \r\n"
                                       "  m1 . Caption  =  &Action = more \r\n"
                                       "Btn_OK.Caption=OK\r\n"
                                       "no equals here\r\n");
    std::string pack = d / "Language/kven.ini";
    EXPECT_EQ(ReadLangMessage("m01", pack), "Connect test OK");
    EXPECT_EQ(ReadLangMessage("M01", pack), "Connect test OK");
    EXPECT_EQ(ReadLangMessage("m05", pack), "");
    EXPECT_EQ(ReadLangMessage("m02", pack), "");
    EXPECT_EQ(ReadLangMessage("m01", d / "Language/"), ""); // empty LanguageFile: the folder
    EXPECT_EQ(ReadLangMessage("m01", d / "Language/missing.ini"), "");

    auto lines = ReadPackSection(pack, "formkorvane");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], (std::pair<std::string, std::string>{"Caption", "Korvane EDI"}));
    EXPECT_EQ(lines[1], (std::pair<std::string, std::string>{"m1 . Caption", "&Action = more"}));
    std::string comp, prop;
    SplitPackKey(lines[1].first, comp, prop);
    EXPECT_EQ(comp, "m1");
    EXPECT_EQ(prop, "Caption");
    SplitPackKey(lines[0].first, comp, prop);
    EXPECT_EQ(comp, "");
    EXPECT_EQ(prop, "Caption");
    EXPECT_TRUE(ReadPackSection(pack, "FormBasSet").empty());
}

TEST(LangPack, ListsInstalledPacksInAStableOrder) {
    TempDir d;
    ::mkdir((d / "Language").c_str(), 0755);
    WriteFile(d / "Language/kvz.ini", "[Info]\r\nLanguage=Zulu\r\n");
    WriteFile(d / "Language/KVCHS.INI", "[Info]\r\nLanguage=\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4\r\n");
    WriteFile(d / "Language/kva.ini", "[Other]\r\n");
    WriteFile(d / "Language/readme.txt", "not a pack");
    ::mkdir((d / "Language/kvdir.ini").c_str(), 0755);
    auto packs = ListLanguagePacks(d.path());
    ASSERT_EQ(packs.size(), 3u);
    EXPECT_EQ(packs[0].file, "KVCHS.INI");
    EXPECT_EQ(ToDisplayUtf8(packs[0].caption), "简体中文");
    EXPECT_EQ(packs[1].file, "kva.ini");
    EXPECT_EQ(packs[1].caption, "");
    EXPECT_EQ(packs[2].caption, "Zulu");
}

TEST(LangPack, NewPacksMoveIntoTheLanguageFolderAndAreNeverLost) {
    TempDir d;
    WriteFile(d / "kvnew.ini", "[Info]\r\nLanguage=New\r\n");
    WriteFile(d / "KVUP.INI", "[Info]\r\nLanguage=Updated\r\n");
    WriteFile(d / "Korvane.ini", "[Options]\r\n"); // "Ko..." does not match kv*.ini
    EXPECT_TRUE(MoveNewLanguagePacks(d.path()).empty());
    EXPECT_EQ(ReadFile(d / "Language/kvnew.ini"), "[Info]\r\nLanguage=New\r\n");
    EXPECT_FALSE(kvtest::Exists(d / "kvnew.ini"));
    EXPECT_TRUE(kvtest::Exists(d / "Korvane.ini"));

    // A pack of the same name is replaced.
    WriteFile(d / "kvnew.ini", "[Info]\r\nLanguage=Newer\r\n");
    MoveNewLanguagePacks(d.path());
    EXPECT_EQ(ReadFile(d / "Language/kvnew.ini"), "[Info]\r\nLanguage=Newer\r\n");

    // "Language" is a file, so the folder cannot exist: the pack stays where it is.
    TempDir e;
    WriteFile(e / "Language", "in the way");
    WriteFile(e / "kvx.ini", "[Info]\r\nLanguage=X\r\n");
    EXPECT_EQ(MoveNewLanguagePacks(e.path()), std::vector<std::string>{"kvx.ini"});
    EXPECT_EQ(ReadFile(e / "kvx.ini"), "[Info]\r\nLanguage=X\r\n");

    // The copy cannot be made (a folder of that name is in the way): the source stays.
    TempDir g;
    ::mkdir((g / "Language").c_str(), 0755);
    ::mkdir((g / "Language/kvy.ini").c_str(), 0755);
    WriteFile(g / "kvy.ini", "pack");
    EXPECT_EQ(MoveNewLanguagePacks(g.path()), std::vector<std::string>{"kvy.ini"});
    EXPECT_EQ(ReadFile(g / "kvy.ini"), "pack");
}

TEST(Encoding, DisplayTextFromUtf8OrGb18030) {
    EXPECT_EQ(ToDisplayUtf8("plain"), "plain");
    EXPECT_EQ(ToDisplayUtf8("\xEF\xBB\xBF"
                            "caf\xC3\xA9"),
              "café");
    EXPECT_EQ(ToDisplayUtf8("\xD6\xD0\xCE\xC4"), "中文");
    EXPECT_TRUE(IsValidUtf8("\xE4\xB8\xAD"));
    EXPECT_FALSE(IsValidUtf8("\xC0\x80"));     // overlong
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80")); // surrogate
    EXPECT_FALSE(IsValidUtf8("\xE4\xB8"));     // truncated
    EXPECT_EQ(ToDisplayUtf8("a\x80"), "a€");   // CP936 takes 0x80 where GB18030 does not
    EXPECT_EQ(ToDisplayUtf8("a\xFF"), "a\xEF\xBF\xBD");
}

// The shipped English pack: texts followed directly by a number keep their
// trailing blank (quoted in the file).
TEST(LangPack, ShippedEnglishTextsKeepTheirTrailingBlank) {
    const char* source = std::getenv("KORVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    std::string pack = std::string(source) + "/data/Language/kven.ini";
    EXPECT_EQ(ReadLangMessage("f06", pack), "Log File TimeOut must be at least ");
    EXPECT_EQ(ReadLangMessage("f07", pack), "Monitor TimeOut must be at least ");
}
