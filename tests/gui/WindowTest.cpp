// The window without a server: language packs applied by name, start-up in
// each settings-file situation, the view settings and the language switch.
#include "GuiTestSupport.h"
#include "LanguageApply.h"
#include "LogViewer.h"
#include "ProgressText.h"
#include "config/IniFile.h"
#include "util/Errors.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <algorithm>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kvtest;

namespace {

QAction* Item(QWidget& w, const char* name) {
    return w.findChild<QAction*>(name);
}
QString MenuTitle(QWidget& w, const char* name) {
    return w.findChild<QMenu*>(name)->title();
}

} // namespace

TEST(GuiText, TraceLinesAndSpeedTexts) {
    using kvgui::FormatTraceLine;
    EXPECT_EQ(FormatTraceLine("07/12/26 10:00:00: Sent: pass Secret-1<EOL>"),
              "07/12/26 10:00:00: Sent: pass ********");
    // Upper-case commands are not this program's: left as they are.
    EXPECT_EQ(FormatTraceLine("t: Sent: PASS x<EOL>"), "t: Sent: PASS x");
    EXPECT_EQ(FormatTraceLine("t: Recv: 230-a<EOL>230 b<EOL>"), "t: Recv: 230-a230 b<EOL>");
    EXPECT_DOUBLE_EQ(kvgui::TransferSpeedKBps(1048576, 2000, 0), 512.0);
    EXPECT_DOUBLE_EQ(kvgui::TransferSpeedKBps(5000, 0, 0), 0.0);
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(kvgui::SpeedPanelText(kv::WorkDirection::Read, 512.0), "Download speed 512.00 KB/s");
    EXPECT_EQ(kvgui::SpeedPanelText(kv::WorkDirection::Write, 123456.789),
              "Uploade speed 123456.79 KB/s");
}

TEST(GuiLanguage, PackSetsPropertiesByNameAndStopsAtABadInteger) {
    TempDir dir;
    QWidget form;
    form.setObjectName("FormBasSet");
    auto* label = new QLabel("Host", &form);
    label->setObjectName("Lbl_HostAdress");
    auto* combo = new QComboBox(&form);
    combo->setObjectName("Combo_Proxy");
    auto* edit = new QLineEdit(&form);
    edit->setObjectName("Edit_Port");
    auto* ok = new QPushButton("OK", &form);
    ok->setObjectName("Btn_OK");
    ok->setGeometry(10, 10, 75, 25);
    WriteFile(dir / "kvxx.ini",
              "[Info]\r\nLanguage=X\r\n[FormBasSet]\r\nCaption = Basic Settings \r\n"
              " lbl_hostadress . CAPTION =  Host = address \r\n"
              "Combo_Proxy.Items=B||A||C\r\nEdit_Port.Text=2121\r\nBtn_OK.Hint=Press\r\n"
              "Btn_OK.Left=30\r\nBtn_OK.Width=90\r\nBtn_OK.Checked=1\r\nBtn_OK.Visible=0\r\n"
              "Nobody.Caption=x\r\n[FormOther]\r\nCaption=Wrong\r\n");
    EXPECT_TRUE(kvgui::ApplyLanguage(&form, dir / "kvxx.ini"));
    EXPECT_EQ(form.windowTitle(), "Basic Settings");
    EXPECT_EQ(label->text(), "Host = address");
    ASSERT_EQ(combo->count(), 2); // one split at the first "||"
    EXPECT_EQ(combo->itemText(0), "A||C");
    EXPECT_EQ(combo->itemText(1), "B");
    EXPECT_EQ(edit->text(), "2121");
    EXPECT_EQ(ok->toolTip(), "Press");
    EXPECT_EQ(ok->geometry(), QRect(30, 10, 90, 25));
    EXPECT_FALSE(ok->isCheckable());
    EXPECT_FALSE(ok->isHidden()); // truth values are not set by packs
    // No dynamic property is added for a name the object does not have.
    EXPECT_TRUE(ok->dynamicPropertyNames().isEmpty());

    // A GB18030 pack shows as Chinese; a bad integer stops the section there.
    WriteFile(dir / "kvgb.ini", "[FormBasSet]\r\nBtn_OK.Caption=\xC8\xB7\xB6\xA8\r\n"
                                "Btn_OK.Top=1x\r\nLbl_HostAdress.Caption=Late\r\n");
    try {
        kvgui::ApplyLanguage(&form, dir / "kvgb.ini");
        ADD_FAILURE() << "a bad integer must throw";
    } catch (const kv::ConversionError& e) {
        EXPECT_STREQ(e.what(), "'1x' is not a valid integer value");
    }
    EXPECT_EQ(ok->text(), QString::fromUtf8("确定"));
    EXPECT_EQ(label->text(), "Host = address");
    // A missing pack changes nothing.
    EXPECT_TRUE(kvgui::ApplyLanguage(&form, dir / "none.ini"));
    EXPECT_EQ(form.windowTitle(), "Basic Settings");
}

TEST(GuiStartup, RestoresFromBackupBuildsLanguageMenuAndKeepsViewHeights) {
    GuiHome h;
    h.Settings(nullptr);
    std::rename(h.path("Korvane.ini").c_str(), h.path("kvini.bak").c_str());
    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    EXPECT_TRUE(Exists(h.path("Korvane.ini")));
    EXPECT_TRUE(w.errors.empty());
    EXPECT_EQ(w.CurrentMenuState(), kvgui::MenuState::Idle);
    EXPECT_TRUE(Item(w, "m11")->isEnabled());
    EXPECT_FALSE(Item(w, "m13")->isEnabled());
    EXPECT_FALSE(Item(w, "m17")->isVisible());
    // The Language menu: one item per pack, caption from the pack, hint = file.
    // In file-name order: kvchs.ini, kven.ini.
    QAction* zh = Item(w, "m211");
    QAction* en = Item(w, "m212");
    ASSERT_TRUE(en && zh);
    EXPECT_EQ(en->text(), "English");
    EXPECT_EQ(en->toolTip(), "kven.ini");
    EXPECT_EQ(zh->text(), QString::fromUtf8("简体中文"));
    EXPECT_EQ(zh->toolTip(), "kvchs.ini");
    EXPECT_TRUE(en->isChecked());
    EXPECT_FALSE(zh->isChecked());
    // Expert Preferences only after a double click on the status bar.
    EXPECT_FALSE(Item(w, "m33")->isVisible());
    w.StatusBar1DblClick();
    EXPECT_TRUE(Item(w, "m33")->isVisible());

    w.ShowAfterStartUp();
    ASSERT_TRUE(WaitFor([&] { return w.isVisible(); }));
    const int full = w.height();
    auto* debug = w.findChild<QListWidget*>("DebugListBox");
    const int debugHeight = debug->height();
    ASSERT_GT(debugHeight, 0);
    // Offscreen there is no notification area: minimising keeps the window.
    w.showMinimized();
    WaitFor([] { return false; }, 50);
    EXPECT_FALSE(w.isHidden());
    EXPECT_EQ(w.TrayIcon(), nullptr);
    w.showNormal();
    Item(w, "m23")->trigger(); // off
    EXPECT_FALSE(debug->isVisible());
    EXPECT_EQ(w.height(), full - debugHeight);
    EXPECT_EQ(kv::IniFile(h.path("Korvane.ini")).ReadString("View", "DebugView"), "0");
    Item(w, "m23")->trigger(); // on again: the earlier height
    EXPECT_EQ(w.height(), full);
    EXPECT_EQ(kv::IniFile(h.path("Korvane.ini")).ReadString("View", "DebugView"), "1");
    const int barHeight = w.statusBar()->sizeHint().height();
    Item(w, "m22")->trigger();
    EXPECT_FALSE(w.statusBar()->isVisible());
    EXPECT_EQ(w.height(), full - barHeight);
    EXPECT_EQ(kv::IniFile(h.path("Korvane.ini")).ReadString("View", "StatusBar"), "0");

    // A second start with those settings: shorter by the status bar's height,
    // not taller as with StatusBar "1".
    w.close();
    ASSERT_TRUE(w.isHidden());
    TestWindow again(h.dir.path());
    ASSERT_TRUE(again.StartUp({}));
    EXPECT_FALSE(again.findChild<QAction*>("m22")->isChecked());
    EXPECT_EQ(again.height(), full - 2 * barHeight);
    again.close();

    // With the trace view off the window starts shorter by the view's height.
    kv::IniFile(h.path("Korvane.ini")).WriteString("View", "StatusBar", "1");
    kv::IniFile(h.path("Korvane.ini")).WriteString("View", "DebugView", "0");
    TestWindow third(h.dir.path());
    ASSERT_TRUE(third.StartUp({}));
    EXPECT_EQ(third.height(), full - debugHeight);
    third.ShowAfterStartUp();
    third.findChild<QAction*>("m23")->trigger();
    EXPECT_EQ(third.height(), full);
}

TEST(GuiStartup, LostSettingsAndABadSettingValue) {
    {
        // Neither Korvane.ini nor kvini.bak: Busy, "INI File Lost!!!", closed,
        // and the close line is the only log line.
        GuiHome h;
        TestWindow w(h.dir.path());
        bool closed = false;
        QObject::connect(&w, &kvgui::FormKorvane::Closed, [&] { closed = true; });
        EXPECT_FALSE(w.StartUp({}));
        EXPECT_EQ(w.CurrentMenuState(), kvgui::MenuState::Busy);
        w.ShowAfterStartUp();
        ASSERT_EQ(w.errors.size(), 1u);
        EXPECT_EQ(w.errors[0], "INI File Lost!!!");
        EXPECT_TRUE(closed);
        EXPECT_EQ(h.SysLog(), std::vector<std::string>{"INFO:Korvane System Close!"});
        EXPECT_FALSE(Exists(h.path("kvini.bak")));
    }
    {
        // A port that is not a number: the error box, the window opens Idle,
        // and SRV does not start automatic mode.
        GuiHome h;
        h.Settings(nullptr);
        kv::IniFile(h.path("Korvane.ini")).WriteString("Options", "Port", "2l");
        TestWindow w(h.dir.path());
        ASSERT_TRUE(w.StartUp({"srv"}));
        ASSERT_EQ(w.errors.size(), 1u);
        EXPECT_EQ(w.errors[0], "Options/Port: '2l' is not a valid integer value");
        EXPECT_EQ(w.CurrentMenuState(), kvgui::MenuState::Idle);
        WaitFor([] { return false; }, 100);
        EXPECT_FALSE(w.AutoTimerActive());
        EXPECT_FALSE(w.AutoModeOn());
        EXPECT_EQ(w.findChild<QPushButton*>("Button1")->text(), "Start Auto");
        EXPECT_EQ(h.Count("INFO:Auto Mode Started."), 0);
    }
}

TEST(GuiLanguage, SwitchingPacksAtRunTimeAndAtTheNextStart) {
    GuiHome h;
    h.Settings(nullptr);
    // A third pack written in GB18030, as older packs are.
    WriteFile(h.path("Language/kvgb.ini"),
              "[Info]\r\nLanguage=\xD6\xD0\xCE\xC4\r\n[Messages]\r\nm05=\xBF\xAA\xCA\xBC\r\n"
              "[FormKorvane]\r\nm1.Caption=\xB6\xAF\xD7\xF7(&A)\r\n");
    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    EXPECT_EQ(MenuTitle(w, "m1"), "&Action");
    EXPECT_EQ(Item(w, "m16")->text(), "R&eceive && Send");

    Item(w, "m211")->trigger(); // kvchs.ini
    kv::IniFile ini(h.path("Korvane.ini"));
    EXPECT_EQ(ini.ReadString("Options", "Language"), "简体中文");
    EXPECT_EQ(ini.ReadString("Options", "LanguageFile"), "kvchs.ini");
    EXPECT_TRUE(Item(w, "m211")->isChecked());
    EXPECT_FALSE(Item(w, "m212")->isChecked());
    EXPECT_EQ(MenuTitle(w, "m1"), QString::fromUtf8("操作(&A)"));
    EXPECT_EQ(Item(w, "m11")->text(), QString::fromUtf8("连接测试(&T)"));
    EXPECT_EQ(w.findChild<QPushButton*>("Button1")->text(), QString::fromUtf8("开始自动"));

    Item(w, "m212")->trigger(); // English again: every caption comes back
    EXPECT_EQ(MenuTitle(w, "m1"), "&Action");
    EXPECT_EQ(Item(w, "m11")->text(), "Connect &Test");
    EXPECT_EQ(MenuTitle(w, "m21"), "&Language");

    QAction* gb = Item(w, "m213");
    ASSERT_TRUE(gb);
    EXPECT_EQ(gb->text(), QString::fromUtf8("中文"));
    gb->trigger();
    EXPECT_EQ(MenuTitle(w, "m1"), QString::fromUtf8("动作(&A)"));
    // This pack has no Button1.Caption: the button keeps the caption it had
    // until automatic mode is switched, which takes the pack's m05 / m06.
    auto* button = w.findChild<QPushButton*>("Button1");
    EXPECT_EQ(button->text(), "Start Auto");
    w.Button1Click();
    EXPECT_EQ(button->text(), "Stop Auto"); // no m06 in this pack
    w.Button1Click();
    EXPECT_EQ(button->text(), QString::fromUtf8("开始"));
    // Stored as the pack has it, so the next start finds and applies it.
    EXPECT_EQ(ini.ReadString("Options", "Language"), "\xD6\xD0\xCE\xC4");
    TestWindow next(h.dir.path());
    ASSERT_TRUE(next.StartUp({}));
    EXPECT_TRUE(next.findChild<QAction*>("m213")->isChecked());
    EXPECT_EQ(MenuTitle(next, "m1"), QString::fromUtf8("动作(&A)"));

    // A choice the settings file cannot take: the menu keeps its tick on the
    // language in use, and the captions stay.
    ::chmod(h.dir.path().c_str(), 0555);
    {
        kvtest::NoFileAccessOverride asUser;
        Item(next, "m212")->trigger();
    }
    ::chmod(h.dir.path().c_str(), 0755);
    EXPECT_TRUE(next.findChild<QAction*>("m213")->isChecked());
    EXPECT_FALSE(Item(next, "m212")->isChecked());
    EXPECT_EQ(MenuTitle(next, "m1"), QString::fromUtf8("动作(&A)"));
    EXPECT_EQ(ini.ReadString("Options", "LanguageFile"), "kvgb.ini");
}

TEST(GuiLogViewer, ShowsEveryLineWithoutHoldingTheFile) {
    TempDir dir;
    const std::string path = dir / "KVSYS202612.LOG";
    WriteFile(path, "2026-12-07 10:00:00 INFO:one\r\n\xD6\xD0\xCE\xC4\r\nlast without end");
    kvgui::LogViewer viewer(QString::fromStdString(path), "System Log");
    ASSERT_EQ(viewer.LineCount(), 3);
    EXPECT_EQ(viewer.Line(0), "2026-12-07 10:00:00 INFO:one");
    EXPECT_EQ(viewer.Line(1), QString::fromUtf8("中文")); // GB18030 shown as Chinese
    EXPECT_EQ(viewer.Line(2), "last without end");
    // The file is not held open: it can be replaced, and Refresh shows the new text.
    std::remove(path.c_str());
    WriteFile(path, "a\nb\n");
    viewer.Refresh();
    EXPECT_EQ(viewer.LineCount(), 2);
    EXPECT_EQ(viewer.Line(1), "b");
    std::remove(path.c_str());
    viewer.Refresh();
    EXPECT_EQ(viewer.LineCount(), 0);
}

TEST(GuiLogViewer, ToolsMenuOpensTheCompanionsMonthlyLogs) {
    GuiHome h;
    h.Settings(nullptr); // LogStep=Day: the companions' logs stay monthly
    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    std::tm day{};
    day.tm_year = 2026 - 1900;
    day.tm_mon = 11;
    day.tm_mday = 7;
    day.tm_hour = 12;
    day.tm_isdst = -1;
    const std::time_t now = std::mktime(&day);
    w.State().Now = [now] { return now; };
    WriteFile(h.path("LOG/KVTRAY202612.LOG"), "tray line\r\n");
    const struct {
        const char* item;
        std::string path;
        int lines;
    } cases[] = {{"m46", h.path("LOG/KVTRAY202612.LOG"), 1},
                 {"m47", h.path("LOG/KVSRV202612.LOG"), 0}};
    for (const auto& c : cases) {
        Item(w, c.item)->trigger();
        auto* viewer = w.findChild<kvgui::LogViewer*>();
        ASSERT_NE(viewer, nullptr) << c.item;
        EXPECT_TRUE(viewer->windowTitle().endsWith(" - " + QString::fromStdString(c.path)))
            << viewer->windowTitle().toStdString();
        EXPECT_EQ(viewer->LineCount(), c.lines) << c.item;
        delete viewer;
    }
}

TEST(GuiLook, BannerAsDesignedInBothPacksAndTheWindowCentred) {
    GuiHome h;
    h.Settings(nullptr);
    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    w.ShowAfterStartUp();
    ASSERT_TRUE(WaitFor([&] { return w.isVisible(); }));
    // In the middle of the screen, frame included.
    WaitFor([] { return false; }, 50);
    const QPoint off = w.frameGeometry().center() - w.screen()->availableGeometry().center();
    EXPECT_LE(off.manhattanLength(), 2) << off.x() << "," << off.y();

    // The banner's character cell is the design's font height of 67 pixels
    // (the largest size whose ascent and descent fit it), in English and in
    // Chinese; what is drawn is that large and not cut at the label's edges.
    auto* banner = w.findChild<QLabel*>("Label1");
    for (const char* pack : {"m212", "m211"}) {
        Item(w, pack)->trigger();
        const QFont font = banner->font();
        EXPECT_EQ(banner->geometry(), QRect(0, 32, 200, 67)) << pack;
        EXPECT_TRUE(font.bold() && font.italic());
        EXPECT_LE(QFontMetrics(font).height(), 67) << pack;
        QFont larger = font;
        larger.setPixelSize(font.pixelSize() + 1);
        EXPECT_GT(QFontMetrics(larger).height(), 67) << pack << " " << font.pixelSize();

        const QImage image = banner->grab().toImage();
        const QRgb background = image.pixel(0, 0);
        int left = image.width(), right = -1, top = image.height(), bottom = -1;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixel(x, y) != background) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
        EXPECT_GT(left, 0) << pack;                     // not cut on the left
        EXPECT_LT(right, image.width() - 1) << pack;    // nor on the right
        EXPECT_GE(right - left, image.width() * 3 / 4); // as wide as the label allows
        // "TOLMA" has no descender: its capitals are about 0.7 of the em
        // (about 33 pixels at the 46 of a cell 54 high).
        EXPECT_GE(bottom - top, 40) << pack;
    }
}
