#include "browser/browser_charts.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QValueAxis>

#include <algorithm>
#include <limits>

#include "store/row_reader.h"

namespace karvex {
namespace {

std::vector<std::string> SlotFields(const char* field) {
    std::vector<std::string> out;
    for (int k = 1; k <= 6; ++k) out.push_back(field + std::to_string(k));
    return out;
}

}  // namespace

std::int32_t DayTradeBars(RowReader& dayTrade, ChartBars& out) {
    out = ChartBars{};
    out.setNames = {QStringLiteral("正常金额"), QStringLiteral("退票金额")};
    out.values.resize(2);
    std::vector<KeyedSums> days;
    // Every day of the selection: one small row per day, a few thousand at most for years of trade.
    std::int32_t rc = dayTrade.SumsByKey("日期", {SlotFields("正常发票累计金额"), SlotFields("退票累计金额")},
                                         std::numeric_limits<int>::max(), days);
    if (rc != 0) return rc;
    if (days.empty()) return 0;
    const std::size_t perBar = (days.size() + kChartDays - 1) / kChartDays;
    const bool years = days.front().key.substr(0, 4) != days.back().key.substr(0, 4);
    const auto label = [years](const std::string& key) {
        const QString k = QString::fromStdString(key);
        if (k.size() != 8) return k;
        return (years ? k.mid(2, 2) + "-" : QString()) + k.mid(4, 2) + "-" + k.mid(6, 2);
    };
    for (std::size_t first = 0; first < days.size(); first += perBar) {
        double normal = 0, returned = 0;
        const std::size_t end = std::min(days.size(), first + perBar);
        for (std::size_t i = first; i < end; ++i) {
            normal += days[i].sums[0];
            returned += days[i].sums[1];
        }
        out.categories << label(days[first].key);
        out.values[0].push_back(normal);
        out.values[1].push_back(returned);
    }
    const auto full = [](const std::string& key) {
        const QString k = QString::fromStdString(key);
        return k.size() == 8 ? k.left(4) + "-" + k.mid(4, 2) + "-" + k.mid(6, 2) : k;
    };
    out.axisTitle = QStringLiteral("%1 至 %2（%3共 %4 个交易日）")
                        .arg(full(days.front().key), full(days.back().key),
                             perBar > 1 ? QStringLiteral("每柱 %1 个交易日，").arg(perBar) : QString())
                        .arg(days.size());
    return 0;
}

std::int32_t RollBars(RowReader& rollSummary, ChartBars& out) {
    out = ChartBars{};
    out.setNames = {QStringLiteral("已用"), QStringLiteral("剩余")};
    out.values.resize(2);
    std::vector<KeyedSums> rolls;
    std::int32_t rc = rollSummary.SumsByKey("发票代码发票起始号",
                                            {{"正常发票份数", "退票份数", "废票份数"}, {"发票起始号"}, {"发票终止号"}},
                                            kChartRolls, rolls);
    if (rc != 0) return rc;
    for (const KeyedSums& r : rolls) {
        const double used = r.sums[0];
        const double size = r.sums[2] - r.sums[1] + 1;
        // A roll's first number follows its code in the key; the first number alone tells rolls apart on the axis.
        const std::string key = r.key.size() > 10 ? r.key.substr(r.key.size() - 10) : r.key;
        out.categories << QString::fromStdString(key);
        out.values[0].push_back(used);
        out.values[1].push_back(std::max(0.0, size - used));
    }
    return 0;
}

QChartView* MakeBarChartView(QWidget* parent, const QString& objectName, const QString& title) {
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->setAlignment(Qt::AlignRight);
    chart->setAnimationOptions(QChart::NoAnimation);
    auto* view = new QChartView(chart, parent);
    view->setObjectName(objectName);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumHeight(200);
    return view;
}

void DrawBars(QChartView* view, const ChartBars& bars) {
    QChart* chart = view->chart();
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
    auto* series = new QBarSeries;
    double top = 0;
    for (std::size_t s = 0; s < bars.setNames.size(); ++s) {
        auto* set = new QBarSet(bars.setNames[s]);
        for (double v : bars.values[s]) {
            set->append(v);
            top = std::max(top, v);
        }
        series->append(set);
    }
    chart->addSeries(series);
    auto* categories = new QBarCategoryAxis;
    categories->append(bars.categories);
    categories->setTitleText(bars.axisTitle);
    chart->addAxis(categories, Qt::AlignBottom);
    series->attachAxis(categories);
    auto* values = new QValueAxis;
    values->setRange(0, top > 0 ? top * 1.1 : 1);
    values->setLabelFormat(QStringLiteral("%.0f"));
    chart->addAxis(values, Qt::AlignLeft);
    series->attachAxis(values);
}

}  // namespace karvex
