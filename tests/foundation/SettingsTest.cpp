#include "app/Settings.h"
#include "config/IniFile.h"
#include "config/SettingsSnapshot.h"
#include "config/SettingsWriter.h"
#include "config/WnDes.h"
#include "support/TestSupport.h"
#include "util/Errors.h"
#include "util/Text.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace kv;
using kvtest::ReadFile;
using kvtest::StateFixture;
using kvtest::WriteFile;

namespace {
std::string Hex(const std::string& clear) {
    return EncryptToHex(clear, kPasswordKey);
}
} // namespace

TEST(Settings, LoadsEveryFieldWithItsConversion) {
    StateFixture f;
    WriteFile(f.state.IniPath,
              "[Options]\r\nHost=ftp.example\r\nPort=2121\r\nUserID=edi\r\n"
              "Password=" +
                  Hex("secret pass") +
                  "\r\n"
                  "TransferType=bin\r\nFileSender=ACME\r\nPassive=yes\r\nCNC102=1\r\n"
                  "WinXPFirewall=1\r\nAllowStartAuto=1\r\nTimeInterval=0,5\r\n"
                  "FTPS=1\r\nFTPSCAFile=/etc/edi-ca.pem\r\nFTPSFingerprint=AB:cd\r\n"
                  "[System]\r\nMessage=1\r\n"
                  "[KVTray]\r\nLogTimeOut=30\r\nKVTimeOut=120\r\n"
                  "[Proxy]\r\nProxyType=2\r\nAuthentication=1\r\nHost=proxy\r\n"
                  "Port=1080\r\nUserID=pu\r\nPassword=" +
                  Hex("pp") + "\r\n");
    ReadSettings(f.state);
    const Settings& s = f.state.settings;
    EXPECT_EQ(s.Host, "ftp.example");
    EXPECT_EQ(s.Port, 2121);
    EXPECT_EQ(s.UserID, "edi");
    EXPECT_EQ(s.Password, "secret pass");
    EXPECT_TRUE(s.BinaryTransfer());
    EXPECT_EQ(s.FileSender, "ACME");
    EXPECT_TRUE(s.Passive); // "yes" is not "1", but a proxy forces passive mode
    EXPECT_TRUE(s.CNC102);
    EXPECT_TRUE(s.WinXPFirewall);
    EXPECT_TRUE(f.state.AllowStartAuto);
    EXPECT_TRUE(f.state.MessageBoxesAllowed);
    EXPECT_EQ(s.TimeInterval, "0,5");
    EXPECT_EQ(s.LogTimeOut, "30");
    EXPECT_EQ(s.KVTimeOut, "120");
    EXPECT_EQ(s.ProxyType, 2);
    EXPECT_EQ(s.ProxyAuthentication, 1);
    EXPECT_EQ(s.ProxyHost, "proxy");
    EXPECT_EQ(s.ProxyPort, 1080);
    EXPECT_EQ(s.ProxyUserID, "pu");
    EXPECT_EQ(s.ProxyPassword, "pp");
    EXPECT_TRUE(s.FTPS);
    EXPECT_EQ(s.FTPSCAFile, "/etc/edi-ca.pem");
    EXPECT_EQ(s.FTPSFingerprint, "AB:cd");
    auto sys = kvtest::ReadCrLfLines(f.state.logs.SysLogPath);
    ASSERT_EQ(sys.size(), 1u);
    EXPECT_EQ(kvtest::WithoutStamp(sys[0]), "INFO:Read Configuration From INI File.");
    EXPECT_FALSE(f.state.logs.SysLogOpen);
    EXPECT_TRUE(f.host.view.empty());
}

TEST(Settings, FlagsAndTypesFollowTheExactTexts) {
    StateFixture f;
    for (auto [type, passive, binary, proxy, wantPassive, wantProxy] :
         std::vector<std::tuple<const char*, const char*, bool, const char*, bool, int>>{
             {"Bin", "1", true, "0", true, 0},
             {"BINARY", "true", false, "7", false, 0},
             {"", "0", false, "-1", false, 0},
             {"ASCII", "1", false, "3", true, 3},
             {"bin", "", true, "1abc", true, 1}}) {
        WriteFile(f.state.IniPath, std::string("[Options]\r\nPort=21\r\nTransferType=") + type +
                                       "\r\nPassive=" + passive +
                                       "\r\n[Proxy]\r\nProxyType=" + proxy + "\r\nPort=0\r\n");
        ReadSettings(f.state);
        EXPECT_EQ(f.state.settings.BinaryTransfer(), binary) << type;
        EXPECT_EQ(f.state.settings.ProxyType, wantProxy) << proxy;
        EXPECT_EQ(f.state.settings.Passive, wantPassive) << passive << " " << proxy;
    }
    EXPECT_FALSE(f.state.AllowStartAuto);
    EXPECT_FALSE(f.state.MessageBoxesAllowed);
    // FTPS: absent or "0" is plain FTP; any other value asks for TLS, so a
    // mistyped switch never sends the password in clear.
    for (auto [ftps, want] : std::vector<std::pair<const char*, bool>>{
             {"", false}, {"0", false}, {" 0 ", false}, {"1", true}, {"yes", true}}) {
        WriteFile(f.state.IniPath, std::string("[Options]\r\nPort=21\r\nFTPS=") + ftps + "\r\n");
        ReadSettings(f.state);
        EXPECT_EQ(f.state.settings.FTPS, want) << ftps;
    }
}

TEST(Settings, MissingProxySectionGetsItsDefaultsInOrder) {
    StateFixture f;
    WriteFile(f.state.IniPath, "[Options]\r\nPort=21\r\n");
    ReadSettings(f.state);
    EXPECT_EQ(ReadFile(f.state.IniPath), "[Options]\r\nPort=21\r\n[Proxy]\r\nProxyType=0\r\n"
                                         "Authentication=0\r\nHost=\r\nPort=0\r\nUserID=\r\n"
                                         "Password=\r\n");
    EXPECT_EQ(f.state.settings.ProxyType, 0);

    // A ProxyType already present, even "0", is not rewritten.
    WriteFile(f.state.IniPath, "[Options]\r\nPort=21\r\n[Proxy]\r\nProxyType=0\r\nPort=9\r\n");
    ReadSettings(f.state);
    EXPECT_EQ(ReadFile(f.state.IniPath),
              "[Options]\r\nPort=21\r\n[Proxy]\r\nProxyType=0\r\nPort=9\r\n");
}

TEST(Settings, BadValueStopsLoadingAtItsField) {
    StateFixture f;
    f.state.settings.UserID = "previous";
    f.state.settings.ProxyHost = "previous proxy";
    WriteFile(f.state.IniPath, "[Options]\r\nHost=new\r\nPort=\r\nUserID=new user\r\n");
    try {
        ReadSettings(f.state);
        FAIL() << "an empty port must not load";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "Options/Port: '' is not a valid integer value");
    }
    EXPECT_EQ(f.state.settings.Host, "new");
    EXPECT_EQ(f.state.settings.UserID, "previous");
    EXPECT_FALSE(f.state.logs.SysLogOpen); // the logs are closed even on failure

    WriteFile(f.state.IniPath, "[Options]\r\nPort=21\r\nUserID=u\r\nPassword=XYZ1\r\n");
    EXPECT_THROW(
        {
            try {
                ReadSettings(f.state);
            } catch (const CipherError& e) {
                EXPECT_STREQ(e.what(), "Error: not a Hex String");
                throw;
            }
        },
        CipherError);
    EXPECT_EQ(f.state.settings.UserID, "u");

    WriteFile(f.state.IniPath,
              "[Options]\r\nPort=21\r\n[Proxy]\r\nProxyType=3\r\nHost=p\r\nPort=x\r\n");
    EXPECT_THROW(ReadSettings(f.state), ConversionError);
    EXPECT_EQ(f.state.settings.ProxyHost, "p");
}

TEST(SettingsKeys, TheTableSpellsEveryKeyOfTheFactoryFileOnceAndFollowsItsRules) {
    // Every key of the shipped settings file is in the table, spelled as the
    // file spells it: a key the table misspells would read as absent.
    const char* source = std::getenv("KORVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "run through ctest";
    const IniFile factory(std::string(source) + "/data/Korvane.ini");
    auto inTable = [](const std::string& section, const std::string& name) {
        for (const SettingKey* k : AllSettingKeys())
            if (k->section == section && k->Name() == name)
                return true;
        return false;
    };
    int seen = 0;
    for (const char* section :
         {"Options", "System", "View", "Proxy", "KVTray", "Ostrel", "Default"})
        for (const std::string& name : factory.ReadSection(section)) {
            EXPECT_TRUE(inTable(section, name)) << section << "/" << name;
            ++seen;
        }
    EXPECT_GT(seen, 50);
    // No key twice (names match without regard to letter case in the file).
    const auto all = AllSettingKeys();
    for (size_t i = 0; i < all.size(); ++i)
        for (size_t j = i + 1; j < all.size(); ++j)
            EXPECT_FALSE(EqualsNoCase(all[i]->Path(), all[j]->Path())) << all[i]->Path();

    // How each kind of flag reads, absent included.
    const struct {
        const SettingKey& key;
        const char* text;
        bool on;
    } flags[] = {{keys::Passive, "1", true},       {keys::Passive, "", false},
                 {keys::Passive, "yes", false},    {keys::AllowReceive, "", true},
                 {keys::AllowReceive, "0", false}, {keys::AllowReceive, "no", true},
                 {keys::FTPS, " 0 ", false},       {keys::FTPS, "", false},
                 {keys::FTPS, "yes", true},        {keys::EnableOstrel, "1", true}};
    for (const auto& f : flags)
        EXPECT_EQ(FlagOn(f.key, f.text), f.on) << f.key.Path() << " '" << f.text << "'";

    // An extra group's key: the digit follows the name; empty means unused.
    EXPECT_EQ(keys::LocalInPath.Group(3).Path(), "Options/LocalInPath3");
    EXPECT_EQ(keys::LocalInPath.absent, "INBOX");
    EXPECT_TRUE(keys::LocalInPath.Group(3).absent.empty());

    // Reads and writes through the table change only the key named.
    kvtest::TempDir dir;
    const std::string path = dir / "Korvane.ini";
    WriteFile(path, "[options]\r\nremoteinpath=x\r\n[Ostrel]\r\nEnableOstrel=0\r\n");
    const SettingsSnapshot file = SettingsSnapshot::Read(path);
    EXPECT_EQ(file.TextOrAbsent(keys::RemoteOutPath), "out");
    EXPECT_EQ(file.Text(keys::RemoteInPath), "x");
    SettingsWriter writer(path);
    writer.WriteFlag(keys::EnableOstrel, true);
    writer.Write(keys::LocalOutPath.Group(9), "/o9");
    EXPECT_EQ(ReadFile(path), "[options]\r\nremoteinpath=x\r\nLocalOutPath9=/o9\r\n"
                              "[Ostrel]\r\nEnableOstrel=1\r\n");
}
