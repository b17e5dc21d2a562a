// The three preference dialogs' models on prepared settings files: what they
// show, what their rules do, and the settings file's bytes after OK, Save
// and Cancel.
#include "app/Settings.h"
#include "config/IniFile.h"
#include "config/WnDes.h"
#include "prefs/AdvancePrefs.h"
#include "prefs/BasicPrefs.h"
#include "prefs/ExpertPrefs.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace kv;
using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

std::string Hex(const std::string& clear) {
    return EncryptToHex(clear, kPasswordKey);
}

std::vector<std::string> Codes(DialogModel& m) {
    std::vector<std::string> codes;
    for (const DialogMessage& msg : m.TakeMessages())
        codes.push_back(msg.code);
    return codes;
}

struct Files {
    TempDir dir;
    std::string ini = dir / "Korvane.ini";
    std::string pack = dir / "kvtest.ini";
    Files() {
        WriteFile(pack, "[Messages]\r\nf03=No service here.\r\nf05=At least 1.\r\n"
                        "f06=Log at least \r\nf07=Monitor at least\r\n");
    }
};

} // namespace

TEST(BasicPrefs, ShowsTheFileFollowsTheRulesAndWritesEveryKeyInOrderOnOk) {
    Files f;
    const std::string before =
        "; kept\r\n[Options]\r\nHost=stored.host\r\nPort=2121\r\nUserID=edi\r\nPassword=" +
        Hex("secret") +
        "\r\nNetType=internet\r\nFileSender=EDI\r\nUnknown=kept\r\n"
        "[Default]\r\nInternet=ftp.centre\r\nInterport=21\r\nLAN=gw.lan\r\nLANport=2100\r\n"
        "[Proxy]\r\nProxyType=7\r\nAuthentication=1\r\nPort=1080\r\n";
    WriteFile(f.ini, before);
    BasicPrefsModel m(f.ini, f.pack);

    EXPECT_FALSE(m.ReadOnly());
    EXPECT_TRUE(m.Checked("RadioButton1"));
    EXPECT_EQ(m.Text("Edit_HostAdress"), "ftp.centre");
    EXPECT_EQ(m.Text("Edit_Port"), "21");
    EXPECT_FALSE(m.Enabled("Edit_HostAdress"));
    EXPECT_EQ(m.Text("Edit_PWD"), "secret");
    EXPECT_TRUE(m.Get("Edit_PWD").password);
    EXPECT_TRUE(m.Checked("CheckSender"));
    EXPECT_FALSE(m.Enabled("Edit_FileSender"));
    EXPECT_EQ(m.Index("ComboBoxProxy"), 0); // 7 is no proxy
    EXPECT_FALSE(m.Enabled("Edit_ProxyHost"));
    EXPECT_TRUE(m.Checked("CheckRequired"));
    EXPECT_EQ(m.Get("Btn_SelectDir3").target, "Edit_LocalBackupPath");
    EXPECT_FALSE(m.Get("Edit_LocalInPath").typable);

    // The proxy part opens hidden; each click shows or hides it.
    EXPECT_FALSE(m.ProxyPartShown());
    EXPECT_EQ(m.ProxyButtonCaption("Proxy Settings <<"), "Proxy Settings >>");
    m.ToggleProxyPart();
    m.ToggleProxyPart();
    m.ToggleProxyPart();
    EXPECT_TRUE(m.ProxyPartShown());
    EXPECT_EQ(m.ProxyButtonCaption("Proxy Settings >>"), "Proxy Settings <<");

    // Custom takes the stored host and port, not what the boxes showed.
    m.SetChecked("RadioButton3", true);
    EXPECT_FALSE(m.Checked("RadioButton1"));
    EXPECT_EQ(m.Text("Edit_HostAdress"), "stored.host");
    EXPECT_EQ(m.Text("Edit_Port"), "2121");
    m.SetText("Edit_Port", "-80a81");
    EXPECT_EQ(m.Text("Edit_Port"), "8081");
    m.SetText("Edit_Port", "1234567");
    EXPECT_EQ(m.Text("Edit_Port"), "12345");
    m.SetText("Edit_Port", "123456"); // at the limit: nothing more goes in
    EXPECT_EQ(m.Text("Edit_Port"), "12345");
    m.SetChecked("RadioButton2", true);
    EXPECT_EQ(m.Text("Edit_HostAdress"), "gw.lan");
    EXPECT_EQ(m.Text("Edit_Port"), "2100");
    m.SetText("Edit_Port", "9"); // disabled: ignored
    EXPECT_EQ(m.Text("Edit_Port"), "2100");

    // The sender follows the user name while the box is ticked.
    m.SetText("Edit_UID", "newuser");
    EXPECT_EQ(m.Text("Edit_FileSender"), "NEWUSER");
    m.SetChecked("CheckSender", false);
    EXPECT_TRUE(m.Enabled("Edit_FileSender"));
    m.SetText("Edit_FileSender", "acme-1");
    EXPECT_EQ(m.Text("Edit_FileSender"), "ACME-1");
    m.SetText("Edit_UID", "other");
    EXPECT_EQ(m.Text("Edit_FileSender"), "ACME-1");

    m.Select("ComboBoxProxy", 3);
    EXPECT_TRUE(m.Enabled("Edit_ProxyPWD"));
    m.SetText("Edit_ProxyHost", "socks.lan");
    m.SetText("Edit_ProxyPWD", "pp");
    m.SetText("Edit_LocalErrorPath", "/srv/edi/error");
    ASSERT_TRUE(m.Ok());

    EXPECT_EQ(
        ReadFile(f.ini),
        "; kept\r\n[Options]\r\nHost=gw.lan\r\nPort=2100\r\nUserID=other\r\nPassword=" +
            Hex("secret") +
            "\r\nNetType=LAN\r\nFileSender=ACME-1\r\nUnknown=kept\r\n"
            "LocalInPath=\r\nLocalOutPath=\r\nLocalBackupPath=\r\n"
            "LocalErrPath=/srv/edi/error\r\n"
            "[Default]\r\nInternet=ftp.centre\r\nInterport=21\r\nLAN=gw.lan\r\nLANport=2100\r\n"
            "[Proxy]\r\nProxyType=3\r\nAuthentication=1\r\nPort=1080\r\nHost=socks.lan\r\n"
            "UserID=\r\nPassword=" +
            Hex("pp") + "\r\n");
}

TEST(BasicPrefs, TheProtocolAndTheHostKeyOfAnSftpMailbox) {
    Files f;
    const std::string key = "SHA256:AAcOFRwjKjE4P0ZNVFtiaXB3foWMk5qhqK+2vcTL0tk";
    WriteFile(f.ini, "[Options]\r\nHost=h\r\nProtocol= sftp \r\nSFTPHostKey=" + key + "\r\n");
    BasicPrefsModel m(f.ini, f.pack);
    EXPECT_EQ(m.Get("ComboBoxProtocol").items, (std::vector<std::string>{"FTP", "SFTP"}));
    EXPECT_EQ(m.Index("ComboBoxProtocol"), 1);
    EXPECT_EQ(m.Text("Edit_HostKey"), key);
    EXPECT_TRUE(m.Enabled("Edit_HostKey"));
    // Back to FTP: no host key to pin; the stored one stays in the file.
    m.Select("ComboBoxProtocol", 0);
    EXPECT_FALSE(m.Enabled("Edit_HostKey"));
    ASSERT_TRUE(m.Ok());
    IniFile after(f.ini);
    EXPECT_EQ(after.ReadString("Options", "Protocol"), "FTP");
    EXPECT_EQ(after.ReadString("Options", "SFTPHostKey"), key);

    // An FTP mailbox that chooses SFTP and pastes the key with blanks.
    Files g;
    WriteFile(g.ini, "[Options]\r\nHost=h\r\n");
    BasicPrefsModel n(g.ini, g.pack);
    EXPECT_EQ(n.Index("ComboBoxProtocol"), 0);
    EXPECT_FALSE(n.Enabled("Edit_HostKey"));
    n.Select("ComboBoxProtocol", 1);
    n.SetText("Edit_HostKey", "  " + key + " ");
    ASSERT_TRUE(n.Ok());
    IniFile chosen(g.ini);
    EXPECT_EQ(chosen.ReadString("Options", "Protocol"), "SFTP");
    EXPECT_EQ(chosen.ReadString("Options", "SFTPHostKey"), key);
}

TEST(BasicPrefs, AbsentKeysGiveEmptyBoxesAndCancelOrANoChoiceOkWritesOnlyWhatItMust) {
    Files f;
    const std::string before = "[Default]\r\nInternet=ftp.centre\r\n";
    WriteFile(f.ini, before);
    {
        BasicPrefsModel m(f.ini, f.pack);
        EXPECT_EQ(m.Text("Edit_Port"), ""); // the initial "21" is replaced
        EXPECT_EQ(m.Text("Edit_ProxyPort"), "");
        EXPECT_FALSE(m.Checked("RadioButton1") || m.Checked("RadioButton2") ||
                     m.Checked("RadioButton3"));
        EXPECT_TRUE(m.Enabled("Edit_HostAdress"));
        m.SetText("Edit_HostAdress", "typed");
        // Cancel: the model goes away unsaved.
    }
    EXPECT_EQ(ReadFile(f.ini), before);

    BasicPrefsModel m(f.ini, f.pack);
    m.SetText("Edit_UID", "u");
    m.SetText("Edit_PWD", "");
    ASSERT_TRUE(m.Ok());
    std::string after = ReadFile(f.ini);
    EXPECT_EQ(after.find("NetType"), std::string::npos);
    EXPECT_NE(after.find("[Options]\r\nHost=\r\nPort=\r\nUserID=u\r\nPassword=\r\n"),
              std::string::npos);
    EXPECT_NE(after.find("FileSender=U\r\n[Proxy]\r\nProxyType=0\r\n"), std::string::npos);

    // A value the file cannot hold stores nothing at all.
    BasicPrefsModel again(f.ini, f.pack);
    again.SetText("Edit_HostAdress", "a\nb");
    again.SetText("Edit_UID", "changed");
    EXPECT_FALSE(again.Ok());
    EXPECT_EQ(again.TakeMessages().size(), 1u);
    EXPECT_EQ(ReadFile(f.ini), after);
}

TEST(BasicPrefs, AStoredPasswordThatIsNotHexOpensReadOnlyAndWritesNothing) {
    Files f;
    const std::string before =
        "[Options]\r\nHost=h\r\nPort=21\r\nUserID=u\r\nPassword=" + Hex("ok") +
        "\r\n[Proxy]\r\nProxyType=1\r\nPassword=zz-not-hex\r\n";
    WriteFile(f.ini, before);
    BasicPrefsModel m(f.ini, f.pack);
    ASSERT_TRUE(m.ReadOnly());
    EXPECT_EQ(m.ReadOnlyReason().rfind("Error: not a Hex String\n", 0), 0u);
    EXPECT_NE(m.ReadOnlyReason().find("Proxy/Password"), std::string::npos);
    auto messages = m.TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, m.ReadOnlyReason());
    EXPECT_EQ(m.Text("Edit_HostAdress"), "h"); // still shown
    EXPECT_EQ(m.Text("Edit_PWD"), "ok");
    EXPECT_FALSE(m.Enabled("Btn_OK"));
    EXPECT_FALSE(m.Enabled("Edit_UID"));
    EXPECT_TRUE(m.Enabled("Btn_Cancel"));
    m.SetText("Edit_UID", "x");
    EXPECT_EQ(m.Text("Edit_UID"), "u");
    EXPECT_FALSE(m.Ok());
    EXPECT_EQ(ReadFile(f.ini), before);
}

TEST(AdvancePrefs, CreationCorrectsTheTimesAndWritesThemAtOnceEvenWhenCancelled) {
    Files f;
    WriteFile(f.ini, "[Options]\r\nTimeInterval=10\r\n[KVTray]\r\nLogTimeOut=15\r\n"
                     "KVTimeOut=50\r\n");
    {
        AdvancePrefsModel m(f.ini, f.pack);
        EXPECT_EQ(m.Text("Edit_LogTimeOut"), "30");
        EXPECT_EQ(m.Text("Edit_KVTimeOut"), "120");
        EXPECT_TRUE(m.TakeMessages().empty());
    }
    EXPECT_EQ(ReadFile(f.ini), "[Options]\r\nTimeInterval=10\r\n[KVTray]\r\nLogTimeOut=30\r\n"
                               "KVTimeOut=120\r\n");

    WriteFile(f.ini, "[Options]\r\nTimeInterval=0\r\n[KVTray]\r\nLogTimeOut=15\r\n"
                     "KVTimeOut=100\r\n");
    { AdvancePrefsModel m(f.ini, f.pack); }
    // 0 becomes 10; 15 < 20 becomes 30; 100 < 60 is false, so it stays.
    EXPECT_EQ(ReadFile(f.ini), "[Options]\r\nTimeInterval=10\r\n[KVTray]\r\nLogTimeOut=30\r\n"
                               "KVTimeOut=100\r\n");

    WriteFile(f.ini, "");
    { AdvancePrefsModel m(f.ini, f.pack); }
    EXPECT_EQ(ReadFile(f.ini), "[Options]\r\nTimeInterval=10\r\n[KVTray]\r\nLogTimeOut=30\r\n"
                               "KVTimeOut=120\r\n");
}

TEST(AdvancePrefs, LeavingBoxesServiceBoxAndOkFollowTheRules) {
    Files f;
    WriteFile(f.ini,
              "[Options]\r\nRemoteInPath=\r\nRemoteOutPath=down\r\nCNC102=0\r\n"
              "TimeInterval=10\r\nTransferType=bin\r\nAllowReceive=0\r\nAllowSend=yes\r\n"
              "AllowStartAuto=1\r\n[System]\r\nLogStep=DAY\r\n"
              "[KVTray]\r\nLogTimeOut=30\r\nKVTimeOut=120\r\n[Ostrel]\r\nEnableOstrel=1\r\n");
    AdvancePrefsModel m(f.ini, f.pack);
    EXPECT_TRUE(m.Checked("RadioButton1")); // "DAY" is not exactly "Day"
    EXPECT_TRUE(m.Checked("RadioButton4"));
    EXPECT_FALSE(m.Checked("CheckReceive"));
    EXPECT_TRUE(m.Checked("CheckSend"));
    EXPECT_TRUE(m.Enabled("Edit_TimeInterval"));
    EXPECT_FALSE(m.Enabled("Edit_LocalExPath"));
    EXPECT_TRUE(m.Checked("CheckService")); // no click action at creation
    // The desktop notifications are on while their keys are absent.
    EXPECT_TRUE(m.Checked("CheckNotifyReceived"));
    EXPECT_TRUE(m.Checked("CheckNotifyFailed"));

    m.SetText("Edit_TimeInterval", "0");
    m.Leave("Edit_TimeInterval");
    EXPECT_EQ(m.Text("Edit_TimeInterval"), "1");
    auto msgs = m.TakeMessages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].code, "f05");
    EXPECT_EQ(msgs[0].text, "At least 1.");

    m.SetText("Edit_TimeInterval", "1x0");
    m.Leave("Edit_TimeInterval");
    m.SetText("Edit_LogTimeOut", "15");
    m.Leave("Edit_LogTimeOut");
    msgs = m.TakeMessages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].text, "Log at least20 !"); // pack values are trimmed
    EXPECT_EQ(m.Text("Edit_LogTimeOut"), "20");
    // Typed and not left: OK applies the box's rule first, with its message.
    m.SetText("Edit_KVTimeOut", "39");

    // Unticking Install Service writes "0" at once; ticking it is not possible
    // here: "f03", and the box is unticked again.
    m.SetChecked("CheckService", false);
    EXPECT_NE(ReadFile(f.ini).find("[Ostrel]\r\nEnableOstrel=0\r\n"), std::string::npos);
    m.SetChecked("CheckService", true);
    EXPECT_FALSE(m.Checked("CheckService"));
    EXPECT_EQ(Codes(m), std::vector<std::string>{"f03"});

    m.SetChecked("CheckCNC102", true);
    EXPECT_TRUE(m.Enabled("Btn_SelectDir1"));
    m.SetText("Edit_LocalExPath", "/srv/ex");
    m.SetChecked("CheckAllow", false);
    EXPECT_FALSE(m.Enabled("CheckSend"));
    m.SetChecked("CheckNotifyFailed", false);
    ASSERT_TRUE(m.Ok());
    EXPECT_EQ(Codes(m), std::vector<std::string>{"f07"});
    EXPECT_EQ(ReadFile(f.ini),
              "[Options]\r\nRemoteInPath=in\r\nRemoteOutPath=down\r\nCNC102=1\r\n"
              "TimeInterval=10\r\nTransferType=BIN\r\nAllowReceive=0\r\nAllowSend=1\r\n"
              "AllowStartAuto=0\r\nRemoteExPath=cuscar/ex\r\nLocalExPath=/srv/ex\r\n"
              "WinXPFirewall=0\r\nPassive=0\r\n"
              "[System]\r\nLogStep=Month\r\nNotifyFilesReceived=1\r\nNotifyCycleFailed=0\r\n"
              "[KVTray]\r\nLogTimeOut=20\r\nKVTimeOut=40\r\n[Ostrel]\r\nEnableOstrel=0\r\n");
    // Read back as written.
    AdvancePrefsModel again(f.ini, f.pack);
    EXPECT_TRUE(again.Checked("CheckNotifyReceived"));
    EXPECT_FALSE(again.Checked("CheckNotifyFailed"));
}

namespace {

// A service switch that answers as told and counts what it was asked.
struct FakeService : ServiceSwitch {
    std::string installAnswer, removeAnswer;
    int installs = 0, removes = 0;
    std::string Install() override {
        ++installs;
        return installAnswer;
    }
    std::string Remove() override {
        ++removes;
        return removeAnswer;
    }
};

} // namespace

TEST(AdvancePrefs, TheServiceBoxFollowsWhatReallyHappened) {
    const std::string file = "[Options]\r\nTimeInterval=10\r\n[KVTray]\r\nLogTimeOut=30\r\n"
                             "KVTimeOut=120\r\n[Ostrel]\r\nEnableOstrel=";
    const struct {
        bool installed;     // EnableOstrel at opening
        const char* answer; // the service's answer to the click
        bool checkedAfter;
        const char* stored; // EnableOstrel afterwards
        const char* code;   // the message's code ("" for an English text)
        const char* says;
    } cases[] = {
        {false, "", true, "1", "f04", "Installed here."},
        {false, "No user manager.", false, "0", "f03", "No service here.\nNo user manager."},
        {true, "", false, "0", nullptr, nullptr},
        {true, "Cannot stop it.", true, "1", "",
         "The service could not be removed.\nCannot stop it."},
    };
    for (const auto& c : cases) {
        Files f;
        WriteFile(f.pack, ReadFile(f.pack) + "f04=Installed here.\r\n");
        WriteFile(f.ini, file + (c.installed ? "1" : "0") + "\r\n");
        auto service = std::make_unique<FakeService>();
        FakeService& asked = *service;
        (c.installed ? service->removeAnswer : service->installAnswer) = c.answer;
        AdvancePrefsModel m(f.ini, f.pack, std::move(service));
        EXPECT_EQ(asked.installs + asked.removes, 0); // nothing at creation
        m.SetChecked("CheckService", !c.installed);
        EXPECT_EQ(asked.installs, c.installed ? 0 : 1);
        EXPECT_EQ(asked.removes, c.installed ? 1 : 0);
        EXPECT_EQ(m.Checked("CheckService"), c.checkedAfter) << c.answer;
        EXPECT_EQ(ReadFile(f.ini), file + c.stored + "\r\n") << c.answer;
        const auto msgs = m.TakeMessages();
        ASSERT_EQ(msgs.size(), c.code ? 1u : 0u) << c.answer;
        if (c.code) {
            EXPECT_EQ(msgs[0].code, c.code);
            EXPECT_EQ(msgs[0].text, c.says);
        }
        // OK stores what the box shows.
        ASSERT_TRUE(m.Ok());
        EXPECT_NE(ReadFile(f.ini).find(std::string("EnableOstrel=") + c.stored), std::string::npos);
    }
}

TEST(AdvancePrefs, AStoredTimeThatIsNotAnIntegerOpensReadOnly) {
    Files f;
    const std::string before = "[Options]\r\nTimeInterval=\r\n[KVTray]\r\nLogTimeOut=1O\r\n";
    WriteFile(f.ini, before);
    AdvancePrefsModel m(f.ini, f.pack);
    ASSERT_TRUE(m.ReadOnly());
    EXPECT_EQ(m.ReadOnlyReason().rfind("'1O' is not a valid integer value\n", 0), 0u);
    EXPECT_FALSE(m.Enabled("Btn_OK"));
    EXPECT_FALSE(m.Enabled("CheckService"));
    EXPECT_FALSE(m.Ok());
    m.Leave("Edit_KVTimeOut");
    // The empty interval was corrected before the failure; nothing after it.
    EXPECT_EQ(ReadFile(f.ini), "[Options]\r\nTimeInterval=10\r\n[KVTray]\r\nLogTimeOut=1O\r\n");
}

TEST(ExpertPrefs, GroupsAreSavedOnTheirOwnAndNeverAsTheMainFolders) {
    Files f;
    const std::string before =
        "[Options]\r\nRemoteInPath=in\r\nLocalOutPath=/srv/out\r\nRemoteInPath3=in3\r\n"
        "LocalOutPath3=/srv/out3\r\nRunBefore=0\r\nRunAfter=1\r\nProgramRunAfter=/bin/true\r\n"
        "ExclusiveRunAfter=1\r\n[System]\r\nMessage=1\r\n";
    WriteFile(f.ini, before);
    ExpertPrefsModel m(f.ini, f.pack);
    EXPECT_FALSE(m.Enabled("Edit_Par_RunBefore"));
    EXPECT_FALSE(m.Enabled("Btn_SelectDir1"));
    EXPECT_TRUE(m.Enabled("CheckExc2"));
    EXPECT_TRUE(m.Checked("CheckExc2"));
    EXPECT_EQ(m.Get("Btn_SelectDir2").picker, PickerKind::Program);
    EXPECT_EQ(m.Index("ComboBox_ExIN"), -1);

    // Save before a group is chosen writes nothing and says why.
    m.SetText("Edit_RemoteExInPath", "oops");
    EXPECT_FALSE(m.SaveSendGroup());
    EXPECT_EQ(Codes(m), std::vector<std::string>{"f08"});
    EXPECT_FALSE(m.SaveReceiveGroup());
    EXPECT_EQ(ReadFile(f.ini), before);

    m.Select("ComboBox_ExIN", 2);
    EXPECT_EQ(m.Text("Edit_RemoteExInPath"), "in3");
    EXPECT_EQ(m.Text("Edit_LocalExOutPath"), "/srv/out3");
    m.SetText("Edit_RemoteExInPath", "");
    ASSERT_TRUE(m.SaveSendGroup()); // retires group 3
    m.Select("ComboBox_ExOUT", 1);
    EXPECT_EQ(m.Text("Edit_LocalExInPath"), "");
    m.SetText("Edit_RemoteExOutPath", "out2");
    m.SetText("Edit_LocalExInPath", "/srv/in2");
    ASSERT_TRUE(m.SaveReceiveGroup());
    m.SetText("Edit_RemoteExOutPath", "not saved");

    m.SetChecked("CheckRunBefore", true);
    EXPECT_TRUE(m.Enabled("Edit_Par_RunBefore"));
    m.SetText("Edit_Prg_RunBefore", "/usr/bin/prep");
    m.SetText("Edit_Par_RunBefore", "-q \"a b\"");
    ASSERT_TRUE(m.Ok());
    EXPECT_EQ(ReadFile(f.ini),
              "[Options]\r\nRemoteInPath=in\r\nLocalOutPath=/srv/out\r\nRemoteInPath3=\r\n"
              "LocalOutPath3=/srv/out3\r\nRunBefore=1\r\nRunAfter=1\r\n"
              "ProgramRunAfter=/bin/true\r\nExclusiveRunAfter=1\r\n"
              "RemoteOutPath2=out2\r\nLocalInPath2=/srv/in2\r\n"
              "ProgramRunBefore=/usr/bin/prep\r\nParameterRunBefore=-q \"a b\"\r\n"
              "ParameterRunAfter=\r\nExclusiveRunBefore=0\r\n"
              "[System]\r\nMessage=1\r\nAutoUpgrade=0\r\n");
}
