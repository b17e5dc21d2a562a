// The three preference dialogs driven through their widgets on prepared
// settings files: the file's bytes after OK and after Cancel, the read-only
// dialogs, the proxy part's folding, the pickers, and the captions of both
// shipped packs fitting their controls.
#include "DialogTestSupport.h"
#include "FormAdvSet.h"
#include "FormBasSet.h"
#include "FormCleanFolder.h"
#include "FormExpSet.h"
#include "Pickers.h"
#include "app/Settings.h"
#include "config/IniFile.h"
#include "config/WnDes.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kvtest;

namespace {

std::string Hex(const std::string& clear) {
    return kv::EncryptToHex(clear, kv::kPasswordKey);
}

QString Text(QWidget& d, const char* name) {
    if (auto* edit = Widget<QLineEdit>(d, name))
        return edit->text();
    if (auto* button = Widget<QAbstractButton>(d, name))
        return button->text();
    if (auto* label = Widget<QLabel>(d, name))
        return label->text();
    return "<no " + QString(name) + ">";
}

bool Enabled(QWidget& d, const char* name) {
    QWidget* w = Widget(d, name);
    return w && w->isEnabled();
}

bool Checked(QWidget& d, const char* name) {
    auto* b = Widget<QAbstractButton>(d, name);
    return b && b->isChecked();
}

std::string BasicFile(const std::string& dir, const std::string& password) {
    return "[Options]\r\nHost=stored.host\r\nPort=2121\r\nUserID=edi\r\nPassword=" + password +
           "\r\nLocalInPath=" + dir + "/IN\r\nLocalOutPath=" + dir +
           "/OUT\r\nLocalBackupPath=" + dir + "/BAK\r\nLocalErrPath=" + dir +
           "/ERR\r\nNetType=Custom\r\nFileSender=EDI\r\n"
           "[Default]\r\nInternet=ftp.centre\r\nInterport=21\r\nLAN=gw.lan\r\nLANport=2100\r\n"
           "[Proxy]\r\nProxyType=0\r\nAuthentication=0\r\nHost=old.proxy\r\nPort=0\r\n"
           "UserID=\r\nPassword=\r\n";
}

// Answers the folder dialog with a folder typed in, and its question with Yes.
void ChooseNewFolder(const QString& folder) {
    WhenModal<kvgui::FolderDialog>([folder](kvgui::FolderDialog* dialog) {
        WhenModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText(folder);
        QTest::keyClick(name, Qt::Key_Return);
    });
}

} // namespace

TEST(BasicDialog, TypedValuesGoIntoTheFileOnOkAndNothingOnCancelEscOrEnter) {
    DialogHome h;
    const std::string before = BasicFile(h.dir.path(), Hex("secret"));
    WriteFile(h.ini, before);

    // Cancel, Esc, and Enter in a box (Cancel is the default button) write nothing.
    for (int way = 0; way < 3; ++way) {
        kvgui::FormBasSet d(h.ini, h.Pack(), h.host, nullptr);
        Open(d, h.Pack());
        Type(d, "Edit_UID", "other");
        Type(d, "Edit_PWD", "x");
        if (way == 0)
            Click(d, "Btn_Cancel");
        else if (way == 1)
            QTest::keyClick(&d, Qt::Key_Escape);
        else
            QTest::keyClick(Widget(d, "Edit_UID"), Qt::Key_Return);
        EXPECT_FALSE(d.isVisible()) << way;
        EXPECT_EQ(d.result(), QDialog::Rejected) << way;
        EXPECT_EQ(ReadFile(h.ini), before) << way;
    }

    kvgui::FormBasSet d(h.ini, h.Pack(), h.host, nullptr);
    Open(d, h.Pack());
    EXPECT_TRUE(Checked(d, "RadioButton3"));
    EXPECT_EQ(Text(d, "Edit_PWD"), "secret");
    EXPECT_EQ(Widget<QLineEdit>(d, "Edit_PWD")->echoMode(), QLineEdit::Password);
    // The sender follows the user name: checked, upper-cased, not typable.
    EXPECT_TRUE(Checked(d, "CheckSender"));
    EXPECT_FALSE(Enabled(d, "Edit_FileSender"));

    // Network types: the Default section's values, then the stored ones again.
    Click(d, "RadioButton1");
    EXPECT_EQ(Text(d, "Edit_HostAdress"), "ftp.centre");
    EXPECT_EQ(Text(d, "Edit_Port"), "21");
    EXPECT_FALSE(Enabled(d, "Edit_HostAdress"));
    EXPECT_FALSE(Checked(d, "RadioButton3"));
    Click(d, "RadioButton3");
    EXPECT_EQ(Text(d, "Edit_HostAdress"), "stored.host");
    EXPECT_TRUE(Enabled(d, "Edit_Port"));

    Type(d, "Edit_Port", "80a-8");
    EXPECT_EQ(Text(d, "Edit_Port"), "808");
    Type(d, "Edit_UID", "newuser");
    EXPECT_EQ(Text(d, "Edit_FileSender"), "NEWUSER");
    Type(d, "Edit_PWD", "pa55");

    // A folder that does not exist yet, created after the confirmation.
    const std::string newOut = h.dir / "new/OUT2";
    ChooseNewFolder(QString::fromStdString(newOut));
    Click(d, "Btn_SelectDir2");
    EXPECT_TRUE(std::filesystem::is_directory(newOut));
    EXPECT_EQ(Text(d, "Edit_LocalOutPath").toStdString(), newOut);
    EXPECT_TRUE(Widget<QLineEdit>(d, "Edit_LocalOutPath")->isReadOnly());

    // The proxy part: shown, a type chosen, its five controls enabled.
    Click(d, "Btn_Proxy");
    EXPECT_FALSE(Enabled(d, "Edit_ProxyHost"));
    ChooseEntry(d, "ComboBoxProxy", 2);
    EXPECT_TRUE(Enabled(d, "Edit_ProxyHost"));
    EXPECT_TRUE(Enabled(d, "CheckRequired"));
    Click(d, "CheckRequired");
    Type(d, "Edit_ProxyHost", "socks.lan");
    Type(d, "Edit_ProxyPort", "10-80");
    Type(d, "Edit_ProxyUID", "pu");
    Type(d, "Edit_ProxyPWD", "ppw");
    Click(d, "Btn_OK");

    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_TRUE(h.host.boxes.empty());
    const std::string dir = h.dir.path();
    EXPECT_EQ(ReadFile(h.ini),
              "[Options]\r\nHost=stored.host\r\nPort=808\r\nUserID=newuser\r\nPassword=" +
                  Hex("pa55") + "\r\nLocalInPath=" + dir + "/IN\r\nLocalOutPath=" + newOut +
                  "\r\nLocalBackupPath=" + dir + "/BAK\r\nLocalErrPath=" + dir +
                  "/ERR\r\nNetType=Custom\r\nFileSender=NEWUSER\r\n"
                  "[Default]\r\nInternet=ftp.centre\r\nInterport=21\r\nLAN=gw.lan\r\n"
                  "LANport=2100\r\n[Proxy]\r\nProxyType=2\r\nAuthentication=1\r\n"
                  "Host=socks.lan\r\nPort=1080\r\nUserID=pu\r\nPassword=" +
                  Hex("ppw") + "\r\n");
}

TEST(BasicDialog, ProxyPartFoldsBy150PixelsWithTheCaptionsLastTwoCharacters) {
    DialogHome h;
    WriteFile(h.ini, BasicFile(h.dir.path(), ""));
    for (const char* pack : {"kven.ini", "kvchs.ini"}) {
        kvgui::FormBasSet d(h.ini, h.Pack(pack), h.host, nullptr);
        Open(d, h.Pack(pack));
        QWidget* panel = Widget(d, "Panel1");
        QWidget* ok = Widget(d, "Btn_OK");
        const QString caption = Text(d, "Btn_Proxy").chopped(2);
        EXPECT_EQ(caption, pack[2] == 'e' ? "Proxy Settings " : "代理设置 ");

        // Opens folded: 150 less than designed, the proxy controls out of sight.
        EXPECT_EQ(d.height(), 523 - 150) << pack;
        EXPECT_EQ(panel->height(), 480 - 150);
        EXPECT_EQ(ok->y(), 490 - 150);
        EXPECT_EQ(Text(d, "Btn_Proxy"), caption + ">>");
        EXPECT_FALSE(Widget(d, "Edit_ProxyHost")->isVisible());
        EXPECT_FALSE(Widget(d, "ComboBoxProxy")->isVisible());
        EXPECT_TRUE(Widget(d, "Edit_FileSender")->isVisible());

        Click(d, "Btn_Proxy");
        EXPECT_EQ(d.height(), 523);
        EXPECT_EQ(panel->height(), 480);
        EXPECT_EQ(ok->y(), 490);
        EXPECT_EQ(Widget(d, "Btn_Proxy")->y(), 490);
        EXPECT_EQ(Widget(d, "Btn_Cancel")->y(), 490);
        EXPECT_EQ(Text(d, "Btn_Proxy"), caption + "<<");
        EXPECT_TRUE(Widget(d, "Edit_ProxyPWD")->isVisible());
        // The whole part lies inside the grown panel.
        EXPECT_LE(Widget(d, "Edit_ProxyPWD")->geometry().bottom(), panel->height());

        Click(d, "Btn_Proxy");
        EXPECT_EQ(d.height(), 523 - 150);
        EXPECT_EQ(ok->y(), 490 - 150);
        EXPECT_EQ(Text(d, "Btn_Proxy"), caption + ">>");
        EXPECT_EQ(d.minimumSize(), d.maximumSize()); // fixed size throughout
        d.reject();
    }
}

TEST(ReadOnlyDialogs, AValueTheDialogCannotReadIsSaidAndNothingIsWritten) {
    DialogHome h;
    // Basic: a stored password that is not hex text.
    const std::string basic = BasicFile(h.dir.path(), "NOT-HEX");
    WriteFile(h.ini, basic);
    {
        kvgui::FormBasSet d(h.ini, h.Pack(), h.host, nullptr);
        Open(d, h.Pack());
        ASSERT_EQ(h.host.boxes.size(), 1u);
        EXPECT_NE(h.host.boxes[0].find("Error: not a Hex String"), std::string::npos);
        EXPECT_NE(h.host.boxes[0].find("Options/Password"), std::string::npos);
        EXPECT_FALSE(Enabled(d, "Btn_OK"));
        EXPECT_FALSE(Enabled(d, "Edit_UID"));
        EXPECT_FALSE(Enabled(d, "RadioButton1"));
        EXPECT_TRUE(Enabled(d, "Btn_Cancel"));
        EXPECT_FALSE(Enabled(d, "Btn_Proxy"));
        QTest::keyClicks(Widget(d, "Edit_UID"), "typed");
        EXPECT_EQ(Text(d, "Edit_UID"), "edi");
        QTest::keyClick(&d, Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(ReadFile(h.ini), basic);
    }
    // Advance: a time value that is not an integer; nothing is corrected either.
    h.host.boxes.clear();
    const std::string advance =
        "[Options]\r\nTimeInterval=10\r\n[KVTray]\r\nLogTimeOut=ten\r\nKVTimeOut=5\r\n";
    WriteFile(h.ini, advance);
    kvgui::FormAdvSet d(h.ini, h.Pack(), h.host, nullptr);
    Open(d, h.Pack());
    ASSERT_EQ(h.host.boxes.size(), 1u);
    EXPECT_NE(h.host.boxes[0].find("'ten' is not a valid integer value"), std::string::npos);
    EXPECT_FALSE(Enabled(d, "Btn_OK"));
    EXPECT_FALSE(Enabled(d, "CheckService"));
    QTest::keyClick(Widget(d, "Edit_KVTimeOut"), Qt::Key_Tab);
    Click(d, "Btn_Cancel");
    EXPECT_EQ(ReadFile(h.ini), advance);
    EXPECT_EQ(h.host.boxes.size(), 1u);
}

TEST(AdvanceDialog, CorrectionsMessagesServiceBoxAndOkThroughTheWidgets) {
    DialogHome h;
    const std::string dir = h.dir.path();
    auto file = [&](const std::string& timeInterval, const std::string& log, const std::string& kv,
                    const std::string& rest, const std::string& remoteIn = "") {
        return "[Options]\r\nRemoteInPath=" + remoteIn +
               "\r\nRemoteOutPath=out2\r\nRemoteExPath=ex\r\nLocalExPath=" + dir +
               "/EX\r\nTimeInterval=" + timeInterval + "\r\n" + rest +
               "[KVTray]\r\nLogTimeOut=" + log + "\r\nKVTimeOut=" + kv + "\r\n";
    };
    const std::string options = "CNC102=1\r\nTransferType=BIN\r\nWinXPFirewall=0\r\nPassive=1\r\n"
                                "AllowStartAuto=1\r\nAllowReceive=1\r\nAllowSend=0\r\n";
    const std::string tail = "[System]\r\nLogStep=Day\r\n[Ostrel]\r\nEnableOstrel=1\r\n";
    WriteFile(h.ini, file("10", "15", "50", options) + tail);

    kvgui::FormAdvSet d(h.ini, h.Pack(), h.host, nullptr);
    // Creation corrected the time-outs at once, without a message.
    const std::string corrected = file("10", "30", "120", options);
    EXPECT_EQ(ReadFile(h.ini), corrected + tail);
    Open(d, h.Pack());
    EXPECT_TRUE(h.host.boxes.empty());
    EXPECT_EQ(Text(d, "Edit_LogTimeOut"), "30");
    EXPECT_TRUE(Checked(d, "RadioButton2"));
    EXPECT_TRUE(Checked(d, "RadioButton4"));
    EXPECT_FALSE(Checked(d, "CheckSend"));

    // Leaving the time boxes: the minimum, said with the pack's text.
    Type(d, "Edit_TimeInterval", "0");
    TabOut(d, "Edit_TimeInterval");
    ASSERT_EQ(h.host.boxes.size(), 1u);
    EXPECT_EQ(h.host.boxes[0], "Time Interval must be at least 1 minute.");
    EXPECT_EQ(Text(d, "Edit_TimeInterval"), "1");
    Type(d, "Edit_TimeInterval", "2x5");
    TabOut(d, "Edit_TimeInterval");
    Type(d, "Edit_LogTimeOut", "40");
    TabOut(d, "Edit_LogTimeOut");
    ASSERT_EQ(h.host.boxes.size(), 2u);
    EXPECT_EQ(h.host.boxes[1], "Log File TimeOut must be at least 50 !");
    EXPECT_EQ(Text(d, "Edit_LogTimeOut"), "50");

    // The service box without a service manager: unticking writes "0" at
    // once; ticking says f03 and why, and the box stays unticked.
    Click(d, "CheckService");
    EXPECT_EQ(ReadFile(h.ini),
              corrected + "[System]\r\nLogStep=Day\r\n[Ostrel]\r\nEnableOstrel=0\r\n");
    Click(d, "CheckService");
    ASSERT_EQ(h.host.boxes.size(), 3u);
    EXPECT_EQ(h.host.boxes[2], "The service could not be installed.\nThere is no service manager "
                               "for this program here.");
    EXPECT_FALSE(Checked(d, "CheckService"));

    // CNC102 off disables its folders; Allow off disables the interval.
    Click(d, "CheckCNC102");
    EXPECT_FALSE(Enabled(d, "Btn_SelectDir1"));
    Click(d, "RadioButton1");
    Click(d, "RadioButton3");
    Click(d, "CheckFirewall");
    Click(d, "CheckNotifyReceived"); // on while absent: now off
    // Typed and not left: OK applies the rule, with its message.
    Type(d, "Edit_KVTimeOut", "7");
    Click(d, "Btn_OK");
    ASSERT_EQ(h.host.boxes.size(), 4u);
    EXPECT_EQ(h.host.boxes[3], "Monitor TimeOut must be at least 100 !");
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(ReadFile(h.ini),
              file("25", "50", "100",
                   "CNC102=0\r\nTransferType=ASCII\r\nWinXPFirewall=1\r\nPassive=1\r\n"
                   "AllowStartAuto=1\r\nAllowReceive=1\r\nAllowSend=0\r\n",
                   "in") +
                  "[System]\r\nLogStep=Month\r\nNotifyFilesReceived=0\r\nNotifyCycleFailed=1\r\n"
                  "[Ostrel]\r\nEnableOstrel=0\r\n");
}

TEST(ExpertDialog, GroupsSaveAtOnceProgramsArePickedAndOkWritesTheOptions) {
    DialogHome h;
    const std::string dir = h.dir.path();
    const std::string program = h.dir / "before.sh";
    WriteFile(program, "#!/bin/sh\nexit 0\n");
    ::chmod(program.c_str(), 0755);
    auto file = [&](const std::string& remote3, const std::string& options,
                    const std::string& system) {
        return "[Options]\r\nRemoteInPath=in\r\nLocalOutPath=" + dir +
               "/OUT\r\nRemoteInPath3=" + remote3 + "\r\nLocalOutPath3=" + dir + "/OUT3\r\n" +
               options + "[System]\r\n" + system;
    };
    const std::string options = "ProgramRunBefore=\r\nParameterRunBefore=\r\n"
                                "ProgramRunAfter=/bin/true\r\nParameterRunAfter=-a\r\n"
                                "RunBefore=0\r\nRunAfter=1\r\nExclusiveRunBefore=0\r\n"
                                "ExclusiveRunAfter=1\r\n";
    WriteFile(h.ini, file("in3", options, "AutoUpgrade=0\r\nMessage=1\r\n"));

    kvgui::FormExpSet d(h.ini, h.Pack(), h.host, nullptr);
    Open(d, h.Pack());
    EXPECT_EQ(Widget<QComboBox>(d, "ComboBox_ExIN")->currentIndex(), -1);
    EXPECT_FALSE(Enabled(d, "Btn_SelectDir1"));
    EXPECT_TRUE(Enabled(d, "Edit_Par_RunAfter"));

    // Save before a group is chosen: said, and the main folders stay.
    Type(d, "Edit_RemoteExInPath", "main?");
    Click(d, "Btn_SaveSend");
    ASSERT_EQ(h.host.boxes.size(), 1u);
    EXPECT_EQ(h.host.boxes[0],
              "Choose a group number (1 to 9) before pressing Save; nothing was saved.");
    const std::string unchanged = file("in3", options, "AutoUpgrade=0\r\nMessage=1\r\n");
    EXPECT_EQ(ReadFile(h.ini), unchanged);

    // Group 3 shows its folders; Save writes it at once, Cancel does not undo it.
    ChooseEntry(d, "ComboBox_ExIN", 2);
    EXPECT_EQ(Text(d, "Edit_RemoteExInPath"), "in3");
    EXPECT_EQ(Text(d, "Edit_LocalExOutPath").toStdString(), dir + "/OUT3");
    Type(d, "Edit_RemoteExInPath", "in3b");
    Click(d, "Btn_SaveSend");
    const std::string saved = file("in3b", options, "AutoUpgrade=0\r\nMessage=1\r\n");
    EXPECT_EQ(ReadFile(h.ini), saved);

    // Run Before Send enables its four controls; the program comes from the picker.
    Click(d, "CheckRunBefore");
    EXPECT_TRUE(Enabled(d, "Btn_SelectDir1"));
    EXPECT_TRUE(Enabled(d, "CheckExc1"));
    EXPECT_TRUE(Widget<QLineEdit>(d, "Edit_Prg_RunBefore")->isReadOnly());
    WhenModal<QFileDialog>([&](QFileDialog* open) {
        EXPECT_EQ(open->objectName(), "OpenDialog1");
        auto* name = open->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText(QString::fromStdString(program));
        QTest::keyClick(name, Qt::Key_Return);
    });
    Click(d, "Btn_SelectDir1");
    EXPECT_EQ(Text(d, "Edit_Prg_RunBefore").toStdString(), program);
    Type(d, "Edit_Par_RunBefore", "-v");
    Click(d, "CheckExc1");
    Click(d, "CheckExc2");
    Click(d, "CheckAutoUpgrade");
    // A changed group box without Save is not written by OK.
    Type(d, "Edit_RemoteExInPath", "lost");
    Click(d, "Btn_OK");
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(ReadFile(h.ini), file("in3b",
                                    "ProgramRunBefore=" + program +
                                        "\r\nParameterRunBefore=-v\r\nProgramRunAfter=/bin/true\r\n"
                                        "ParameterRunAfter=-a\r\nRunBefore=1\r\nRunAfter=1\r\n"
                                        "ExclusiveRunBefore=1\r\nExclusiveRunAfter=0\r\n",
                                    "AutoUpgrade=1\r\nMessage=1\r\n"));
}

TEST(DialogBoxes, StoredValuesLongerThanTheLimitShowWholeAndPasswordsShowStars) {
    DialogHome h;
    std::string basic = BasicFile(h.dir.path(), Hex("secret"));
    basic.replace(basic.find("Port=2121"), 9, "Port=123456");
    basic.replace(basic.find("UserID=\r\nPassword="), 18, "UserID=\r\nPassword=" + Hex("ppw"));
    WriteFile(h.ini, basic);
    {
        kvgui::FormBasSet d(h.ini, h.Pack(), h.host, nullptr);
        Open(d, h.Pack());
        // What the program uses is what the box shows.
        auto* port = Widget<QLineEdit>(d, "Edit_Port");
        EXPECT_EQ(port->text(), "123456");
        // The limit is for typing: nothing more goes in, shortening does.
        port->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(port, Qt::Key_End);
        QTest::keyClick(port, Qt::Key_7);
        EXPECT_EQ(port->text(), "123456");
        QTest::keyClick(port, Qt::Key_Backspace);
        QTest::keyClick(port, Qt::Key_9);
        EXPECT_EQ(port->text(), "12345");
        QTest::keyClick(port, Qt::Key_Backspace);
        QTest::keyClick(port, Qt::Key_8);
        EXPECT_EQ(port->text(), "12348");
        // A password shows one "*" per character.
        EXPECT_EQ(Widget<QLineEdit>(d, "Edit_PWD")->displayText(), "******");
        EXPECT_EQ(Widget<QLineEdit>(d, "Edit_ProxyPWD")->displayText(), "***");
        Click(d, "Btn_Cancel");
    }

    WriteFile(h.ini, "[Options]\r\nTimeInterval=1000\r\n[KVTray]\r\nLogTimeOut=2500\r\n"
                     "KVTimeOut=5000\r\n");
    kvgui::FormAdvSet d(h.ini, h.Pack(), h.host, nullptr);
    Open(d, h.Pack());
    EXPECT_EQ(Text(d, "Edit_TimeInterval"), "1000");
    EXPECT_EQ(Text(d, "Edit_LogTimeOut"), "2500");
    EXPECT_EQ(Text(d, "Edit_KVTimeOut"), "5000");
    Click(d, "Btn_OK");
    EXPECT_TRUE(h.host.boxes.empty());
    const kv::IniFile ini(h.ini);
    EXPECT_EQ(ini.ReadString("Options", "TimeInterval"), "1000");
    EXPECT_EQ(ini.ReadString("KVTray", "LogTimeOut"), "2500");
    EXPECT_EQ(ini.ReadString("KVTray", "KVTimeOut"), "5000");
}
