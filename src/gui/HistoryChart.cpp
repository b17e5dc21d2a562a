// The history window's chart of files per day (stacked bars).
#include "HistoryChart.h"

#include <QAreaSeries>
#include <QCategoryAxis>
#include <QChart>
#include <QDate>
#include <QLineSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace kvgui {

namespace {

// Labels of the day axis (each "yyyy-MM-dd", about 70 pixels wide).
constexpr int kMostDayLabels = 6;
constexpr int kMostCountTicks = 5;
// The share of a day's width its bar takes; the rest is the gap between bars.
constexpr double kBarWidth = 0.8;
// From this many days on a bar is a few pixels wide: the bars stand side by
// side without gaps, so that the outline only steps from one day's height to
// the next. Every bar dropping to zero would give the rasteriser thousands
// of edges on each line of pixels (seconds for ten years).
constexpr size_t kGaplessFromDays = 120;
// At most this many bars: a longer range gives each bar a few days, as tall
// as the busiest of them, which is all a chart a few hundred pixels wide
// can show of them; ten years of single days took the painter 0.6 s.
constexpr size_t kMostBars = 400;

QDate DateOf(int64_t yyyymmdd) {
    return QDate(static_cast<int>(yyyymmdd / 10000), static_cast<int>(yyyymmdd / 100 % 100),
                 static_cast<int>(yyyymmdd % 100));
}

// The bars of the days as one outline over a height per day, so that a
// filled area under it (or between it and the outline below) draws them:
// up, across and down for each bar, or, without gaps, across each day and
// down only at the end.
// Each bar spans `days` days, bar i from day i * days on.
QList<QPointF> BarOutline(const std::vector<double>& heights, size_t days) {
    QList<QPointF> line;
    const bool gapless = heights.size() * days >= kGaplessFromDays;
    const double half = static_cast<double>(days) * (gapless ? 0.5 : kBarWidth / 2);
    line.reserve(static_cast<qsizetype>(heights.size() * 4));
    for (size_t i = 0; i < heights.size(); ++i) {
        const double x = static_cast<double>(i * days) + (static_cast<double>(days) - 1) / 2;
        if (!gapless || i == 0)
            line << QPointF(x - half, 0);
        line << QPointF(x - half, heights[i]) << QPointF(x + half, heights[i]);
        if (!gapless || i + 1 == heights.size())
            line << QPointF(x + half, 0);
    }
    return line;
}

} // namespace

HistoryChart::HistoryChart(QWidget* parent) : QChartView(parent) {
    auto* chart = new QChart;
    chart->setObjectName("Chart");
    chart->legend()->setAlignment(Qt::AlignRight);
    chart->setMargins(QMargins(4, 4, 4, 4));
    receivedTop_ = new QLineSeries(chart);
    totalTop_ = new QLineSeries(chart);
    received_ = new QAreaSeries(receivedTop_);
    sent_ = new QAreaSeries(totalTop_, receivedTop_);
    const QColor receivedColor(0x20, 0x6f, 0xc0), sentColor(0xe0, 0x8a, 0x1e);
    // Sent first, so that received, drawn over it, keeps its own outline
    // where a bar is narrower than the pen (ten years).
    for (auto [series, color] : {std::pair{sent_, sentColor}, {received_, receivedColor}}) {
        series->setBrush(color);
        QPen pen(color, 1); // a bar narrower than a pixel still shows
        pen.setCosmetic(true);
        series->setPen(pen);
        chart->addSeries(series);
    }
    axisDays_ = new QCategoryAxis(chart);
    axisDays_->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    axisDays_->setGridLineVisible(false);
    axisCount_ = new QValueAxis(chart);
    axisCount_->setLabelFormat("%d");
    axisCount_->setTickType(QValueAxis::TicksDynamic);
    axisCount_->setTickAnchor(0);
    chart->addAxis(axisDays_, Qt::AlignBottom);
    chart->addAxis(axisCount_, Qt::AlignLeft);
    for (QAreaSeries* s : {received_, sent_}) {
        s->attachAxis(axisDays_);
        s->attachAxis(axisCount_);
    }
    setChart(chart);
    // Bars are upright rectangles: smoothing their edges costs seconds for
    // ten years of them and shows nothing.
    setRenderHint(QPainter::Antialiasing, false);
}

void HistoryChart::SetNames(const QString& received, const QString& sent) {
    received_->setName(received);
    sent_->setName(sent);
}

int HistoryChart::LabelStep(int days, int most) {
    static const int steps[] = {1, 2, 3, 7, 14, 28, 56, 91, 182, 365, 730, 1461, 3652};
    for (int step : steps)
        if ((days - 1) / step + 1 <= most)
            return step;
    return (days - 1) / std::max(1, most - 1) + 1;
}

std::vector<int> HistoryChart::LabelDays(const std::vector<kv::DayCount>& days, int most) {
    const int count = static_cast<int>(days.size());
    const int step = LabelStep(count, most);
    // A label on either end of the axis would not fit there, and the chart
    // would leave it out: labels keep a quarter step from the ends.
    const int margin = step / 4;
    std::vector<int> at;
    if (step >= 7) {
        // Weeks start on Mondays; months on the 1st, every k months.
        const int months = static_cast<int>(std::lround(step / 30.44));
        for (int i = margin; i < count - margin; ++i) {
            const QDate d = DateOf(days[static_cast<size_t>(i)].day);
            const bool start =
                months >= 1 ? d.day() == 1 && (d.year() * 12 + d.month() - 1) % months == 0
                            : d.dayOfWeek() == 1 && (step == 7 || d.toJulianDay() / 7 % 2 == 0);
            if (start)
                at.push_back(i);
        }
    }
    if (at.empty() || static_cast<int>(at.size()) > most) {
        at.clear();
        for (int i = step / 2; i < count; i += step)
            at.push_back(i);
    }
    return at;
}

int64_t HistoryChart::TickInterval(int64_t largest, int most) {
    for (int64_t power = 1;; power *= 10)
        for (int64_t m : {1, 2, 5})
            if (m * power * most >= largest || power > INT64_MAX / 100)
                return m * power;
}

void HistoryChart::Show(const std::vector<kv::DayCount>& days) {
    days_ = days;
    if (days_.empty()) {
        const QDate today = QDate::currentDate();
        days_.push_back({today.year() * 10000LL + today.month() * 100 + today.day(), 0, 0});
    }
    const size_t perBar = (days_.size() + kMostBars - 1) / kMostBars;
    std::vector<double> received((days_.size() + perBar - 1) / perBar), total(received.size());
    int64_t largest = 1;
    for (size_t i = 0; i < days_.size(); ++i) {
        const kv::DayCount& d = days_[i];
        double& r = received[i / perBar];
        double& t = total[i / perBar];
        r = std::max(r, static_cast<double>(d.received));
        t = std::max(t, static_cast<double>(d.received + d.sent));
        largest = std::max(largest, d.received + d.sent);
    }
    receivedTop_->replace(BarOutline(received, perBar));
    totalTop_->replace(BarOutline(total, perBar));

    for (const QString& label : axisDays_->categoriesLabels())
        axisDays_->remove(label);
    const int count = static_cast<int>(days_.size());
    axisDays_->setStartValue(-0.5);
    for (int i : LabelDays(days_, kMostDayLabels))
        axisDays_->append(DateOf(days_[static_cast<size_t>(i)].day).toString("yyyy-MM-dd"), i);
    axisDays_->setRange(-0.5, count - 0.5);

    const int64_t interval = TickInterval(largest, kMostCountTicks);
    axisCount_->setTickInterval(static_cast<double>(interval));
    axisCount_->setRange(0, static_cast<double>((largest + interval - 1) / interval * interval));
}

QStringList HistoryChart::DayLabels() const {
    return axisDays_->categoriesLabels();
}

double HistoryChart::CountTop() const {
    return axisCount_->max();
}

double HistoryChart::CountInterval() const {
    return axisCount_->tickInterval();
}

} // namespace kvgui
