// The dialogs as a whole: every control and caption in both shipped packs
// (fitting, in tab order), the cleaning of a real folder tree through the
// widgets, and the main window's Option and Tools commands opening them.
#include "DialogTestSupport.h"
#include "FormAdvSet.h"
#include "FormBasSet.h"
#include "FormCleanFolder.h"
#include "FormExpSet.h"
#include "GuiTestSupport.h"
#include "config/IniFile.h"
#include "i18n/LangPack.h"
#include "program/CompanionService.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

std::vector<std::unique_ptr<kvgui::ModelDialog>> AllDialogs(DialogHome& h, const char* pack) {
    std::vector<std::unique_ptr<kvgui::ModelDialog>> all;
    all.push_back(std::make_unique<kvgui::FormBasSet>(h.ini, h.Pack(pack), h.host, nullptr));
    all.push_back(std::make_unique<kvgui::FormAdvSet>(h.ini, h.Pack(pack), h.host, nullptr));
    all.push_back(std::make_unique<kvgui::FormExpSet>(h.ini, h.Pack(pack), h.host, nullptr));
    all.push_back(std::make_unique<kvgui::FormCleanFolder>(h.ini, h.Pack(pack), h.dir.path(), "",
                                                           h.host, nullptr));
    return all;
}

QString Caption(QWidget* w) {
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->text();
    if (auto* group = qobject_cast<QGroupBox*>(w))
        return group->title();
    return {};
}

// The room a caption needs: the text (without its access-key mark) and, for
// check boxes, radio buttons and group boxes, their indicator or frame.
int NeededWidth(QWidget* w) {
    QString text = Caption(w);
    text.remove(QRegularExpression("&(?!&)"));
    const int advance = w->fontMetrics().horizontalAdvance(text);
    if (qobject_cast<QLabel*>(w))
        return advance;
    if (qobject_cast<QPushButton*>(w))
        return advance + 8;
    if (qobject_cast<QGroupBox*>(w))
        return advance + 16;
    return w->sizeHint().width(); // check box, radio button
}

bool IsUnitLabel(const std::string& name) {
    return name.rfind("Lbl_Minutes", 0) == 0 || name == "Lbl_Only" || name == "Lbl_Progress" ||
           name == "Lbl_Time2" || name == "Lbl_Time3";
}

} // namespace

TEST(DialogLayout, EveryControlAndCaptionOfBothPacksIsThereFitsAndTabsInLayoutOrder) {
    DialogHome h;
    WriteFile(h.ini, "[Options]\r\n"); // every key absent
    for (const char* pack : {"kven.ini", "kvchs.ini"}) {
        for (auto& d : AllDialogs(h, pack)) {
            SCOPED_TRACE(pack + (" " + d->objectName().toStdString()));
            Open(*d, h.Pack(pack));
            if (Widget<QPushButton>(*d, "Btn_Proxy"))
                Click(*d, "Btn_Proxy"); // the proxy part shown
            const auto section = kv::ReadPackSection(h.Pack(pack), d->objectName().toStdString());
            std::set<std::string> packed;
            for (const auto& [key, value] : section)
                packed.insert(key);
            EXPECT_TRUE(packed.count("Caption"));
            EXPECT_EQ(d->minimumSize(), d->maximumSize());

            // Every model control has its widget; the tab order is the model's order.
            std::vector<std::string> names, chain;
            for (const kv::Control& c : d->Model().Controls()) {
                QWidget* w = d->ControlWidget(c.name);
                ASSERT_NE(w, nullptr) << c.name;
                EXPECT_EQ(w->objectName().toStdString(), c.name);
                EXPECT_TRUE(w->isVisible()) << c.name;
                names.push_back(c.name);
            }
            QWidget* w = d->ControlWidget(names.front());
            for (int i = 0; i < 500 && chain.size() < names.size(); ++i, w = w->nextInFocusChain())
                if (d->Model().Find(w->objectName().toStdString()) &&
                    (w->focusPolicy() & Qt::TabFocus))
                    chain.push_back(w->objectName().toStdString());
            EXPECT_EQ(chain, names);

            // Every caption comes from the pack, fits its control, and the
            // labels of boxes end in the full-width colon.
            for (QWidget* child : d->findChildren<QWidget*>()) {
                const std::string name = child->objectName().toStdString();
                if (Caption(child).isEmpty() || !child->isVisible() || name.empty() ||
                    name == "qt_spinbox_lineedit")
                    continue;
                if (Caption(child) != "...") {
                    EXPECT_TRUE(packed.count(name + ".Caption")) << name;
                }
                EXPECT_LE(NeededWidth(child), child->width()) << name;
                EXPECT_TRUE(child->parentWidget()->rect().contains(child->geometry())) << name;
                if (name.rfind("Lbl_", 0) == 0 && !IsUnitLabel(name)) {
                    EXPECT_TRUE(Caption(child).endsWith(QChar(0xFF1A))) << name;
                }
            }
            d->reject();
        }
    }
}

TEST(CleanDialog, CleansARealTreeThroughTheWidgetsShowingProgressAndStayingResponsive) {
    DialogHome h;
    const std::string bak = h.dir / "BAK", outside = h.dir / "outside", log = h.dir / "LOG";
    fs::create_directories(bak + "/sub/deeper");
    fs::create_directories(outside);
    fs::create_directories(log);
    for (int i = 0; i < 600; ++i)
        WriteFile(bak + "/F" + std::to_string(i) + ".EDI", "x");
    WriteFile(bak + "/sub/deeper/G.EDI", "x");
    WriteFile(bak + "/READONLY.EDI", "x");
    ::chmod((bak + "/READONLY.EDI").c_str(), 0444);
    WriteFile(outside + "/KEEP.EDI", "x");
    fs::create_directory_symlink(outside, bak + "/link");
    const std::string current =
        kv::CurrentLogName(kv::LogKind::System, "Month", std::time(nullptr));
    for (const char* old : {"KVSYS200001.LOG", "kvsys20000102.log", "KVTSF200001.LOG"})
        WriteFile(log + "/" + old, "old");
    WriteFile(log + "/KVSYS200002.LOG", "kept");
    ::chmod((log + "/KVSYS200002.LOG").c_str(), 0444);
    WriteFile(log + "/" + current, "now");
    // The error folder setting names the program folder itself: refused.
    WriteFile(h.ini, "[Options]\r\nLocalBackupPath=" + bak + "\r\nLocalErrPath=" + h.dir.path() +
                         "\r\n[System]\r\nLogStep=Month\r\n");

    kvgui::FormCleanFolder d(h.ini, h.Pack(), h.dir.path(), "", h.host, nullptr);
    Open(d, h.Pack());
    for (const char* box : {"CheckBox1", "CheckBox2", "CheckBox4"})
        Click(d, box);

    // Sampled from the event loop while the cleaning runs.
    int samples = 0;
    bool exitEnabled = false, boxesEnabled = false;
    QString progress;
    QTimer sampler;
    sampler.setInterval(0);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (!d.Cleaner().Running())
            return;
        if (++samples == 1)
            QTest::keyClick(&d, Qt::Key_Escape); // waits for the cleaning
        exitEnabled |= Widget(d, "Btn_Exit")->isEnabled();
        boxesEnabled |= Widget(d, "CheckBox1")->isEnabled();
        if (Widget(d, "Lbl_Progress")->isVisible())
            progress = Widget<QLabel>(d, "Lbl_Progress")->text();
    });
    sampler.start();
    Click(d, "Btn_Clean");
    sampler.stop();

    EXPECT_GT(samples, 0);
    EXPECT_FALSE(exitEnabled);
    EXPECT_FALSE(boxesEnabled);
    EXPECT_TRUE(progress.startsWith("Entries looked at: ")) << progress.toStdString();
    EXPECT_GT(progress.mid(19).toInt(), 0);
    EXPECT_TRUE(d.isVisible());
    EXPECT_TRUE(Widget(d, "Btn_Exit")->isEnabled());
    EXPECT_FALSE(Widget(d, "Lbl_Progress")->isVisible()); // no report afterwards

    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(bak))
        left.insert(e.path().filename().string());
    EXPECT_EQ(left, std::set<std::string>{"READONLY.EDI"});
    EXPECT_TRUE(Exists(outside + "/KEEP.EDI"));
    std::set<std::string> logs;
    for (const auto& e : fs::directory_iterator(log))
        logs.insert(e.path().filename().string());
    EXPECT_EQ(logs, (std::set<std::string>{"KVSYS200002.LOG", "KVTSF200001.LOG", current}));
    EXPECT_TRUE(Exists(h.ini));
    ASSERT_EQ(h.host.boxes.size(), 1u);
    EXPECT_EQ(h.host.boxes[0].rfind("This folder was not emptied: " + h.dir.path(), 0), 0u)
        << h.host.boxes[0];

    Click(d, "Btn_Exit");
    EXPECT_FALSE(d.isVisible());
}

TEST(DialogsInTheWindow, OptionAndToolsCommandsOpenTheRealDialogsInTheCurrentPack) {
    GuiHome h;
    h.Settings(nullptr);
    kv::IniFile ini(h.path("Korvane.ini"));
    ini.WriteString("Options", "LanguageFile", "kvchs.ini");
    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    w.ShowAfterStartUp();

    QString title, ok;
    bool windowDisabled = false;
    QPoint offCentre;
    WhenModal<kvgui::FormBasSet>([&](kvgui::FormBasSet* d) {
        title = d->windowTitle();
        offCentre = d->geometry().center() - w.geometry().center();
        ok = Widget<QPushButton>(*d, "Btn_OK")->text();
        windowDisabled = !w.menuBar()->isEnabled();
        Type(*d, "Edit_Port", "2199");
        Click(*d, "Btn_OK");
    });
    w.findChild<QAction*>("m31")->trigger();
    EXPECT_EQ(title, "基本设置");
    EXPECT_EQ(ok, "确定(&O)");
    EXPECT_TRUE(windowDisabled);
    EXPECT_LE(offCentre.manhattanLength(), 4) << offCentre.x() << "," << offCentre.y();
    EXPECT_EQ(w.State().settings.Port, 2199); // taken up at once

    // Messages go to the window's message boxes.
    WhenModal<kvgui::FormExpSet>([&](kvgui::FormExpSet* d) {
        title = d->windowTitle();
        Click(*d, "Btn_SaveReceive");
        Click(*d, "Btn_Cancel");
    });
    w.findChild<QAction*>("m33")->trigger();
    EXPECT_EQ(title, "专家设置");
    ASSERT_EQ(w.boxes.size(), 1u);
    EXPECT_EQ(w.boxes[0].toStdString(), "请先选择组号（1 到 9）再按保存；未保存任何内容。");

    WhenModal<kvgui::FormCleanFolder>([&](kvgui::FormCleanFolder* d) {
        title = d->windowTitle();
        QTest::keyClick(d, Qt::Key_Escape);
    });
    w.findChild<QAction*>("m43")->trigger();
    EXPECT_EQ(title, "清理文件夹和日志文件");
    EXPECT_TRUE(w.centralWidget()->isEnabled());

    // A close from outside while a dialog is open: the dialog ends as
    // Cancel (nothing written) and the window closes.
    bool closed = false;
    QObject::connect(&w, &kvgui::FormKorvane::Closed, [&] { closed = true; });
    w.answer = true;
    WhenModal<kvgui::FormBasSet>([&](kvgui::FormBasSet* d) {
        Type(*d, "Edit_Port", "2200");
        w.close();
    });
    w.findChild<QAction*>("m31")->trigger();
    EXPECT_TRUE(WaitFor([&] { return closed; }));
    EXPECT_EQ(w.State().settings.Port, 2199);
    EXPECT_EQ(kv::IniFile(h.path("Korvane.ini")).ReadString("Options", "Port"), "2199");
    w.close();
}

TEST(DialogsInTheWindow, EverySettingsReadShowsStartAutoAndABadPackValueStillOpensTheDialog) {
    GuiHome h;
    h.Settings(nullptr);
    // A pack whose Advance section holds a size that is not a number: the
    // error is shown, the lines before it apply, those after it do not, and
    // the dialog opens all the same.
    std::string pack = ReadFile(h.path("Language/kven.ini"));
    const std::string section = "[FormAdvSet]\r\nCaption=Advance Preferences\r\n";
    const size_t at = pack.find(section);
    ASSERT_NE(at, std::string::npos);
    pack.replace(
        at, section.size(),
        "[FormAdvSet]\r\nCaption=Advanced\r\nBtn_OK.Width=zz\r\nLbl_Only.Caption=Later\r\n");
    WriteFile(h.path("Language/kven.ini"), pack);

    TestWindow w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    w.ShowAfterStartUp();
    auto* startAuto = w.findChild<QPushButton*>("Button1");
    EXPECT_TRUE(startAuto->isHidden()); // AllowStartAuto absent

    // Allow to Start Auto, then not: the button follows each time the dialog
    // closes, as it does at start.
    for (bool allow : {true, false}) {
        QString title, only;
        int okWidth = 0;
        WhenModal<kvgui::FormAdvSet>([&](kvgui::FormAdvSet* d) {
            title = d->windowTitle();
            only = Widget<QLabel>(*d, "Lbl_Only")->text();
            okWidth = Widget(*d, "Btn_OK")->width();
            if (Widget<QCheckBox>(*d, "CheckAllow")->isChecked() != allow)
                Click(*d, "CheckAllow");
            Click(*d, "Btn_OK");
        });
        const size_t errorsBefore = w.errors.size();
        w.findChild<QAction*>("m32")->trigger();
        EXPECT_EQ(title, "Advanced") << allow;
        EXPECT_EQ(only, "(Enable Only When Auto Mode)") << allow;
        EXPECT_EQ(okWidth, 84) << allow;
        ASSERT_EQ(w.errors.size(), errorsBefore + 1) << allow;
        EXPECT_EQ(w.errors.back(), "'zz' is not a valid integer value");
        EXPECT_EQ(kv::IniFile(h.path("Korvane.ini")).ReadString("Options", "AllowStartAuto"),
                  allow ? "1" : "0");
        EXPECT_EQ(startAuto->isHidden(), !allow) << allow;
    }

    // The window gives the dialog its folder's companion service: ticking
    // Install Service asks for the korvaned beside this program (there is
    // none beside a test binary, which it says) instead of having no service.
    WhenModal<kvgui::FormAdvSet>([&](kvgui::FormAdvSet* d) {
        Click(*d, "CheckService");
        Click(*d, "Btn_Cancel");
    });
    w.findChild<QAction*>("m32")->trigger();
    ASSERT_FALSE(w.boxes.empty());
    EXPECT_EQ(w.boxes.back().toStdString(),
              "The service could not be installed.\nThe service's program " +
                  kv::KorvanedBesideThisProgram() +
                  " is missing or cannot be run. It belongs beside korvane; reinstall Korvane.");
    w.close();
}

// The window's boxes: the core's INFO lines and the version are notices;
// refusals and failures (an error line, a connection's failure such as a
// host key refused, a dialog's refusal) take the error icon.
TEST(DialogsInTheWindow, RefusalsAndFailuresTakeTheErrorIcon) {
    GuiHome h;
    h.Settings(nullptr);
    kvgui::FormKorvane w(h.dir.path());
    ASSERT_TRUE(w.StartUp({}));
    const struct {
        std::string text;
        QMessageBox::Icon icon;
    } cases[] = {
        {"2026-12-08 10:00:00 INFO:Connect Test Success!", QMessageBox::Information},
        {"2026-12-08 10:00:00 ERROR:Connect Test Failed!", QMessageBox::Critical},
        {"The SFTP server 127.0.0.1 presented the host key SHA256:x (ED25519), which is not "
         "pinned and was not accepted; nothing was sent.",
         QMessageBox::Critical},
        {"Choose a group number (1 to 9) before pressing Save; nothing was saved.",
         QMessageBox::Critical},
    };
    for (const auto& c : cases) {
        QMessageBox::Icon shown = QMessageBox::NoIcon;
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            shown = box->icon();
            box->accept();
        });
        w.ShowMessageBox(c.text);
        EXPECT_EQ(shown, c.icon) << c.text;
    }
}
