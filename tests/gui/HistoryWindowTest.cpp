// Tools / Transfer History through its widgets, offscreen: the rows of the
// transfer logs, the filters, the sort, the chart, the export file, the copy,
// the double click, a log appended to while the window is open, and the
// Chinese pack.
#include "FormHistory.h"
#include "GuiTestSupport.h"
#include "LanguageApply.h"
#include "app/AppState.h"
#include "history/TransferRecord.h"
#include "logging/Logs.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kvtest;

namespace {

struct HistoryHome : GuiHome {
    kv::AppState state;
    HistoryHome() {
        state.ProgramDir = dir.path();
        ::mkdir(path("INBOX").c_str(), 0755);
        ::mkdir(path("BACKUP").c_str(), 0755);
        WriteFile(path("Korvane.ini"), "[Options]\r\nLocalInPath=" + path("INBOX") +
                                           "\r\nLocalBackupPath=" + path("BACKUP") + "\r\n");
        Add(LocalTime(2026, 1, 30, 9, 0, 0), "Download", "JAN 30.EDI", 300, "THEM", "ME", "INVOIC");
        Add(LocalTime(2026, 1, 31, 23, 59, 59), "Upload", "order.txt", 100, "ME", "THEM", "ORDERS");
        Add(LocalTime(2026, 2, 1, 0, 0, 1), "Download", "feb 1.EDI", 200, "OTHER", "ME", "CUSCAR");
        Add(LocalTime(2026, 2, 3, 8, 0, 0), "Download", "=cmd.EDI", 50, "THEM", "ME", "INVOIC");
        WriteFile(path("INBOX/feb 1.EDI"), "x");
    }
    // A record through the program's own transfer-log writer.
    void Add(std::time_t t, const std::string& dir, const std::string& name, int size,
             const std::string& sender, const std::string& receiver, const std::string& type) {
        state.Now = [t] { return t; };
        kv::OpenLogs(state);
        kv::WriteTransferRecord(
            state, dir + " File->" + name + " FileSize:" + std::to_string(size) +
                       " Sender:" + sender + " Receiver:" + receiver + " Type:" + type);
        kv::CloseLogs(state);
    }
};

QStringList Column(kvgui::FormHistory& w, int column) {
    QStringList out;
    auto& m = w.Model();
    for (int r = 0; r < m.rowCount(); ++r)
        out << m.data(m.index(r, column), Qt::DisplayRole).toString();
    return out;
}

// Waits until the worker has answered everything asked so far.
bool Settled(kvgui::FormHistory& w) {
    return WaitFor([&] { return w.Idle(); }, 20000);
}

template <class T> T* Child(QWidget& w, const char* name) {
    T* c = w.findChild<T*>(name);
    EXPECT_TRUE(c) << name;
    return c;
}

} // namespace

TEST(HistoryWindow, FiltersSortChartExportAndNews) {
    HistoryHome h;
    kvgui::FormHistory w(h.dir.path(), h.path("Korvane.ini"));
    QStringList opened;
    w.openFolder = [&](const QString& folder) { opened << folder; };
    w.askExportPath = [&] { return QString::fromStdString(h.path("found.csv")); };
    w.show();
    w.Start();
    ASSERT_TRUE(WaitFor([&] { return w.Model().rowCount() == 4 && w.Idle(); }));
    EXPECT_EQ(Column(w, 2), (QStringList{"=cmd.EDI", "feb 1.EDI", "order.txt", "JAN 30.EDI"}));
    EXPECT_EQ(Column(w, 1), (QStringList{"Received", "Received", "Sent", "Received"}));
    EXPECT_EQ(w.StatusText(), "4 of 4 transfers");
    // The chart: every day of the range, a day without transfers as a zero.
    ASSERT_EQ(w.ReceivedSeries()->count(), 5);
    EXPECT_EQ(w.ReceivedSeries()->at(0).y(), 1);
    EXPECT_EQ(w.ReceivedSeries()->at(3).y(), 0); // the 2nd of February
    EXPECT_EQ(w.SentSeries()->at(1).y(), 1);

    // Text in the sender (letter case ignored), typed.
    QTest::keyClicks(Child<QLineEdit>(w, "Edit_Text"), "them");
    ASSERT_TRUE(WaitFor([&] { return w.Model().rowCount() == 3 && w.Idle(); }));
    EXPECT_EQ(Column(w, 2), (QStringList{"=cmd.EDI", "order.txt", "JAN 30.EDI"}));
    // Direction.
    Child<QComboBox>(w, "Combo_Direction")->setCurrentIndex(1);
    ASSERT_TRUE(WaitFor([&] { return w.Model().rowCount() == 2 && w.Idle(); }));
    // Type, from the types the logs hold.
    auto* type = Child<QComboBox>(w, "Combo_Type");
    EXPECT_EQ(type->count(), 4);
    type->setCurrentIndex(type->findText("INVOIC"));
    Child<QLineEdit>(w, "Edit_Text")->clear();
    ASSERT_TRUE(WaitFor([&] { return w.Model().rowCount() == 2 && w.Idle(); }));
    EXPECT_EQ(Column(w, 2), (QStringList{"=cmd.EDI", "JAN 30.EDI"}));
    // Dates.
    type->setCurrentIndex(0);
    Child<QComboBox>(w, "Combo_Direction")->setCurrentIndex(0);
    Child<QDateEdit>(w, "Date_From")->setDate(QDate(2026, 1, 31));
    Child<QDateEdit>(w, "Date_Until")->setDate(QDate(2026, 2, 1));
    Child<QCheckBox>(w, "CheckFrom")->setChecked(true);
    Child<QCheckBox>(w, "CheckUntil")->setChecked(true);
    ASSERT_TRUE(WaitFor([&] { return w.Model().rowCount() == 2 && w.Idle(); }));
    EXPECT_EQ(Column(w, 2), (QStringList{"feb 1.EDI", "order.txt"}));
    EXPECT_EQ(w.ReceivedSeries()->count(), 2);
    Child<QCheckBox>(w, "CheckFrom")->setChecked(false);
    Child<QCheckBox>(w, "CheckUntil")->setChecked(false);
    ASSERT_TRUE(WaitFor([&] { return w.Model().rowCount() == 4 && w.Idle(); }));

    // Sort by size, by a click on its header, then the other way round.
    auto* grid = Child<QTableView>(w, "Grid1");
    QHeaderView* header = grid->horizontalHeader();
    const QPoint sizeColumn(header->sectionViewportPosition(3) + 5, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeColumn);
    ASSERT_TRUE(Settled(w));
    EXPECT_EQ(Column(w, 3), (QStringList{"50", "100", "200", "300"}));
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeColumn);
    ASSERT_TRUE(Settled(w));
    EXPECT_EQ(Column(w, 3), (QStringList{"300", "200", "100", "50"}));

    // Export what the filters find, in the order shown; a name a spreadsheet
    // would run as a formula is defused.
    header->setSortIndicator(0, Qt::DescendingOrder);
    Child<QComboBox>(w, "Combo_Direction")->setCurrentIndex(1);
    ASSERT_TRUE(WaitFor([&] { return w.Model().rowCount() == 3 && w.Idle(); }));
    QTest::mouseClick(Child<QPushButton>(w, "Btn_Export"), Qt::LeftButton);
    ASSERT_TRUE(Settled(w));
    EXPECT_TRUE(w.StatusText().contains("3 transfers exported to " +
                                        QString::fromStdString(h.path("found.csv"))));
    EXPECT_EQ(ReadFile(h.path("found.csv")),
              "Time,Direction,Name,Size,Sender,Receiver,Type\r\n"
              "2026-02-03 08:00:00,Received,'=cmd.EDI,50,THEM,ME,INVOIC\r\n"
              "2026-02-01 00:00:01,Received,feb 1.EDI,200,OTHER,ME,CUSCAR\r\n"
              "2026-01-30 09:00:00,Received,JAN 30.EDI,300,THEM,ME,INVOIC\r\n");
    // Copy of the selected row.
    grid->selectRow(1);
    QTest::mouseClick(Child<QPushButton>(w, "Btn_Copy"), Qt::LeftButton);
    ASSERT_TRUE(Settled(w));
    EXPECT_EQ(QApplication::clipboard()->text(),
              "Time,Direction,Name,Size,Sender,Receiver,Type\r\n"
              "2026-02-01 00:00:01,Received,feb 1.EDI,200,OTHER,ME,CUSCAR\r\n");

    // A double click opens the folder of a file still in the inbox, and says
    // so when it is gone.
    auto doubleClick = [&](int row) {
        const QPoint at = grid->visualRect(w.Model().index(row, 2)).center();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
    };
    doubleClick(1);
    EXPECT_EQ(opened, QStringList{QString::fromStdString(h.path("INBOX"))});
    doubleClick(0);
    EXPECT_EQ(opened.size(), 1);
    EXPECT_TRUE(w.StatusText().contains("no longer in its inbox or backup folder: =cmd.EDI"))
        << w.StatusText().toStdString();

    // A record the service writes while the window is open shows up.
    h.Add(LocalTime(2026, 2, 4, 7, 0, 0), "Download", "NEW.EDI", 10, "THEM", "ME", "INVOIC");
    ASSERT_TRUE(WaitFor([&] { return w.Model().rowCount() == 4 && w.Idle(); }, 10000));
    EXPECT_EQ(Column(w, 2).front(), "NEW.EDI");
}

TEST(HistoryWindow, ChinesePack) {
    HistoryHome h;
    auto* w = new kvgui::FormHistory(h.dir.path(), h.path("Korvane.ini"));
    kvgui::ApplyLanguage(w, h.path("Language/kvchs.ini"));
    w->show();
    w->Start();
    ASSERT_TRUE(WaitFor([&] { return w->Model().rowCount() == 4 && w->Idle(); }));
    EXPECT_EQ(w->windowTitle(), "传输历史");
    EXPECT_EQ(w->Model().headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "时间");
    EXPECT_EQ(Column(*w, 1).front(), "接收");
    EXPECT_EQ(Child<QComboBox>(*w, "Combo_Direction")->itemText(2), "发送");
    EXPECT_EQ(w->StatusText(), "共 4 条传输记录，显示 4 条");
    delete w;
}
