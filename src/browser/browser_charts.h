#pragma once
// The data browser's charts: the day trade over the grid's range (normal and return amounts per day, as
// bars) and the invoice rolls of the roll-summary grid (invoices used and left per roll). Both are drawn
// from the store with the grid's own selection, never from the rows the grid happens to hold.
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

class QChartView;
class QWidget;

namespace karvex {

class RowReader;

// Bars of one chart: a category per day or roll, a set of values per series, in category order.
struct ChartBars {
    QStringList categories;
    std::vector<QString> setNames;
    std::vector<std::vector<double>> values;  // one list per set, one value per category
    // Under the category axis: what one bar stands for and how much of the selection the chart covers.
    QString axisTitle;
};

// Bars a chart shows at most: few enough that a date label fits under its bar. The day-trade chart covers its
// whole selection: more days than bars are added up several days a bar. The roll chart shows the latest rolls.
inline constexpr int kChartDays = 15;
inline constexpr int kChartRolls = 40;

// Per day of the selection (or per run of days, when there are more than kChartDays): "正常金额" (the six
// normal amounts added) and "退票金额". Dates read "MM-DD", or "YY-MM-DD" when the selection spans years;
// the axis title names the first and last day. 0 or the store's code.
std::int32_t DayTradeBars(RowReader& dayTrade, ChartBars& out);
// Per roll of the selection: "已用" (normal, return and void invoices) and "剩余" (the rest of the roll).
std::int32_t RollBars(RowReader& rollSummary, ChartBars& out);

// An empty chart view with its title.
QChartView* MakeBarChartView(QWidget* parent, const QString& objectName, const QString& title);
// Replaces the chart's series and axes with the bars.
void DrawBars(QChartView* view, const ChartBars& bars);

}  // namespace karvex
