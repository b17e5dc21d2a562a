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
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <set>
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
    const std::vector<kv::DayCount>& days = w.Chart().Days();
    ASSERT_EQ(days.size(), 5u);
    EXPECT_EQ(days[0].day, 20260130);
    EXPECT_EQ(days[0].received, 1);
    EXPECT_EQ(days[3].received + days[3].sent, 0); // the 2nd of February
    EXPECT_EQ(days[1].sent, 1);

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
    EXPECT_EQ(w.Chart().DayLabels(), (QStringList{"2026-01-31", "2026-02-01"}));
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

namespace {

// The height of the level stretch of an outline that spans x (-1: none).
double TopOver(const QLineSeries& s, double x) {
    for (int k = 0; k + 1 < s.count(); ++k) {
        const QPointF a = s.at(k), b = s.at(k + 1);
        if (a.y() == b.y() && a.x() < b.x() && a.x() <= x && x <= b.x())
            return a.y();
    }
    return -1;
}

} // namespace

// The chart of any range, from the one day of a new mailbox to ten years:
// a bar per day at the day's count, day labels that never repeat, and
// whole-number ticks up to the largest count.
TEST(HistoryWindow, ChartOfAnyRange) {
    struct Case {
        int days;
        int64_t busiest; // files on the busiest day
    } const cases[] = {{1, 3}, {1, 0}, {2, 1}, {7, 7}, {31, 12}, {92, 250}, {400, 9}, {3653, 4003}};
    kvgui::HistoryChart chart;
    chart.resize(900, 200);
    chart.show();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.days);
        std::vector<kv::DayCount> days;
        QDate day(2016, 12, 8);
        for (int i = 0; i < c.days; ++i, day = day.addDays(1))
            days.push_back({day.year() * 10000LL + day.month() * 100 + day.day(),
                            i == c.days / 2 ? c.busiest : i % 3, i % 2});
        chart.Show(days);
        const QStringList labels = chart.DayLabels();
        ASSERT_FALSE(labels.isEmpty());
        EXPECT_LE(labels.size(), 6);
        // The first label within the first days, the others in order after it.
        const QDate first = QDate::fromString(labels.front(), "yyyy-MM-dd");
        EXPECT_LE(QDate(2016, 12, 8).daysTo(first), kvgui::HistoryChart::LabelStep(c.days, 6))
            << labels.front().toStdString();
        EXPECT_TRUE(std::is_sorted(labels.begin(), labels.end()));
        EXPECT_EQ(std::set<QString>(labels.begin(), labels.end()).size(),
                  static_cast<size_t>(labels.size()));
        const double interval = chart.CountInterval(), top = chart.CountTop();
        EXPECT_GE(interval, 1);
        EXPECT_EQ(interval, std::floor(interval));
        EXPECT_EQ(std::fmod(top, interval), 0);
        EXPECT_LE(top / interval, 5);
        int64_t largest = 0;
        for (const kv::DayCount& d : days)
            largest = std::max(largest, d.received + d.sent);
        EXPECT_GE(top, static_cast<double>(largest));
        // Over each day's place the bar's top is at its received count, and
        // with its sent ones stacked on top, at its total; beyond 400 days a
        // bar stands for a few days, as tall as the busiest of them. The
        // outlines start and end on the axis.
        const bool grouped = c.days > 400;
        for (int i : {0, c.days / 2, c.days - 1}) {
            const kv::DayCount& d = days[static_cast<size_t>(i)];
            const double received = TopOver(*chart.ReceivedOutline(), i);
            const double total = TopOver(*chart.TotalOutline(), i);
            if (grouped && i != c.days / 2) {
                EXPECT_GE(received, static_cast<double>(d.received)) << i;
                EXPECT_GE(total, static_cast<double>(d.received + d.sent)) << i;
            } else {
                EXPECT_EQ(received, static_cast<double>(d.received)) << i;
                EXPECT_EQ(total, static_cast<double>(d.received + d.sent)) << i;
            }
        }
        for (const QLineSeries* s : {chart.ReceivedOutline(), chart.TotalOutline()}) {
            EXPECT_EQ(s->at(0).y(), 0);
            EXPECT_EQ(s->at(s->count() - 1).y(), 0);
            EXPECT_LE(s->count(), 4 * std::min(c.days, 400));
        }
    }
    // Nothing found: today, empty.
    chart.Show({});
    EXPECT_EQ(chart.DayLabels(), QStringList{QDate::currentDate().toString("yyyy-MM-dd")});
}
