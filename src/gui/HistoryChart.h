#pragma once
// The history window's chart: the files received and sent on each day of a
// result, as stacked bars, over any range from one day to ten years. The
// bars of every day are two filled outlines, so ten years cost no more to
// draw than a week; the day labels are spaced so none repeats, and the
// count axis ticks on whole numbers.
#include "history/HistoryIndex.h"

#include <QChartView>
#include <QStringList>
#include <vector>

class QAreaSeries;
class QCategoryAxis;
class QLineSeries;
class QValueAxis;

namespace kvgui {

class HistoryChart : public QChartView {
    Q_OBJECT

public:
    explicit HistoryChart(QWidget* parent = nullptr);

    void SetNames(const QString& received, const QString& sent);
    // Every day of the range in order (kv::ContinuousDays); none shows today.
    void Show(const std::vector<kv::DayCount>& days);

    // What is shown, for tests: the days, the labels of the day axis in
    // order, and the count axis's top and tick interval.
    const std::vector<kv::DayCount>& Days() const { return days_; }
    QStringList DayLabels() const;
    double CountTop() const;
    double CountInterval() const;
    // The outline of the received bars and that of received and sent stacked.
    QLineSeries* ReceivedOutline() const { return receivedTop_; }
    QLineSeries* TotalOutline() const { return totalTop_; }

    // The days between two labels for a range of `days` days, at most
    // `most` labels (a step of whole weeks, months or years for long ranges).
    static int LabelStep(int days, int most);
    // The days (indexes into days) that carry a label: Mondays, the 1st of
    // every month, quarter or year as the range asks, away from the ends.
    static std::vector<int> LabelDays(const std::vector<kv::DayCount>& days, int most);
    // A whole-number tick interval (1, 2 or 5 times a power of ten) for a
    // largest count, at most `most` intervals up to it.
    static int64_t TickInterval(int64_t largest, int most);

private:
    std::vector<kv::DayCount> days_;
    QLineSeries* receivedTop_ = nullptr;
    QLineSeries* totalTop_ = nullptr;
    QAreaSeries* received_ = nullptr;
    QAreaSeries* sent_ = nullptr;
    QCategoryAxis* axisDays_ = nullptr;
    QValueAxis* axisCount_ = nullptr;
};

} // namespace kvgui
