// The data browser over a store filled in a temporary data directory.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QStandardPaths>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "browser/browser_charts.h"
#include "browser/data_browser.h"
#include "store/store_service.h"
#include "store/record_set.h"
#include "store/store_access.h"

namespace karvex::testing {
namespace {

using Fields = std::vector<std::pair<std::string, FieldValue>>;

std::string N(const char* field, int k) { return field + std::to_string(k); }

class BrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "karvex-browser-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        store_ = std::make_unique<StoreAccess>(dir_);
        ASSERT_EQ(store_->Open(), 0) << store_->LastErrorText();
    }
    void TearDown() override {
        browser_.reset();
        store_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void AddRow(const std::string& table, const Fields& fields) {
        RecordSet rs;
        ASSERT_EQ(rs.Open(store_->Connection(), Selection::Of(table)), 0) << table;
        ASSERT_EQ(rs.AddNew(), 0);
        for (const auto& [name, value] : fields) ASSERT_EQ(rs.Set(name, value), 0) << table << "." << name;
        ASSERT_EQ(rs.Update(), 0) << rs.LastErrorText();
    }
    std::int64_t Count(const std::string& table) {
        RecordSet rs;
        std::int64_t n = -1;
        EXPECT_EQ(rs.Open(store_->Connection(), Selection::Of(table)), 0);
        EXPECT_EQ(rs.RecordCount(n), 0);
        return n;
    }

    // An invoice with `goods` goods lines; slots beyond them stay unset, as the print-data writer leaves them.
    void AddInvoice(const std::string& date, const std::string& number, int kind, double total, int goods = 0,
                    double amount = 1.0) {
        Fields f{{"开票日期发票号", date + number},
                 {"开票日期", date},
                 {"发票号", number},
                 {"开票类型", std::int64_t{kind}},
                 {"开票总金额", total},
                 {"税控码", std::string(20, '7')},
                 {"原发票号", std::string("")},
                 {"付款单位", std::string("付款人") + number}};
        for (int k = 1; k <= goods; ++k) {
            f.push_back({N("商品名称", k), "商品" + std::to_string(k)});
            f.push_back({N("数量", k), 1.0 * k});
            f.push_back({N("税种税目索引号", k), std::int64_t{k}});
            f.push_back({N("金额", k), amount * k});
        }
        AddRow("InvPrintData", f);
    }
    // A trading day whose six slots carry normal amounts `normal` × k and return amounts `ret` × k.
    void AddDay(const std::string& date, double normal, double ret) {
        Fields f{{"日期", date},
                 {"正常发票份数", std::int64_t{3}},
                 {"退票份数", std::int64_t{1}},
                 {"废票份数", std::int64_t{0}}};
        for (int k = 1; k <= 6; ++k) {
            f.push_back({N("税种税目索引号", k), std::int64_t{k}});
            f.push_back({N("正常发票累计金额", k), normal * k});
            f.push_back({N("退票累计金额", k), ret * k});
        }
        AddRow("DayTrade", f);
    }
    void AddDeclaration(const std::string& start, const std::string& end, double normal) {
        Fields f{{"税控卡编号", std::string("1234567890123456")},
                 {"数据起始日期", start},
                 {"数据截止日期", end},
                 {"正常发票份数", std::int64_t{12}},
                 {"退票份数", std::int64_t{2}},
                 {"废票份数", std::int64_t{1}},
                 {"税控卡正常发票总累计金额", 1234.5},
                 {"税控卡退票总累计金额", 10.25}};
        for (int k = 1; k <= 6; ++k) {
            f.push_back({N("税种税目索引号", k), std::int64_t{k}});
            f.push_back({N("正常发票累计金额", k), normal * k});
            f.push_back({N("退票累计金额", k), 0.0});
        }
        AddRow("DeclareData", f);
    }
    void AddRoll(const std::string& code, const std::string& first, const std::string& last,
                 const std::string& lastDate) {
        AddRow("InvUseSum", {{"发票代码发票起始号", code + first},
                             {"发票代码", code},
                             {"发票起始号", first},
                             {"发票终止号", last},
                             {"正常发票份数", std::int64_t{20}},
                             {"退票份数", std::int64_t{1}},
                             {"废票份数", std::int64_t{2}},
                             {"正常发票总金额", 250.5},
                             {"退票总金额", 3.25},
                             {"开票起始时间", std::string("20040101")},
                             {"开票截止时间", lastDate}});
    }
    void AddTaxpayer() {
        AddRow("UserInformation", {{"纳税人名称", std::string("测试商店")},
                                   {"纳税人编码", std::string("000123")},
                                   {"税号", std::string("110101123456789")},
                                   {"税控卡编号", std::string("1234567890123456")},
                                   {"税控卡使用口令", std::string("12345678")},
                                   {"应用起用日期", std::string("20040101")},
                                   {"应用有效日期", std::string("20091231")},
                                   {"单张发票开票金额限额", 10000.5},
                                   {"发票累计金额限额", 1000000.0},
                                   {"退票累计金额限额", 5000.25},
                                   {"主管分局代码", std::string("1101")},
                                   {"申报方式", std::int64_t{2}},
                                   {"开票截止日期", std::string("20041231")}});
        AddRow("UserInformation", {{"纳税人名称", std::string("第二行")}});
    }

    Datashow& Open() {
        browser_ = std::make_unique<Datashow>(store_->Connection());
        return *browser_;
    }

    static QString Cell(QTableView* grid, int row, const char* field) {
        auto* model = grid->model();
        for (int c = 0; c < model->columnCount(); ++c)
            if (model->headerData(c, Qt::Horizontal).toString() == QString::fromUtf8(field))
                return model->data(model->index(row, c)).toString();
        ADD_FAILURE() << "no column " << field;
        return {};
    }
    static QString Label(Datashow& b, int tab, const char* field) {
        QLabel* l = b.BoundLabel(tab, field);
        EXPECT_NE(l, nullptr) << field;
        return l ? l->text() : QString();
    }
    static QString Total(Datashow& b, const char* caption) {
        QLabel* l = b.TotalLabel(caption);
        EXPECT_NE(l, nullptr) << caption;
        return l ? l->text() : QString();
    }

    std::filesystem::path dir_;
    std::unique_ptr<StoreAccess> store_;
    std::unique_ptr<Datashow> browser_;
};

// ---------------------------------------------------------------------------------------------------------
// Rounding, total texts and the date check

TEST(BrowserValues, RoundToCentsRoundsTiesToEvenAndLeavesHugeValues) {
    EXPECT_DOUBLE_EQ(RoundToCents(0.125), 0.12);
    EXPECT_DOUBLE_EQ(RoundToCents(0.375), 0.38);
    EXPECT_DOUBLE_EQ(RoundToCents(-0.125), -0.12);
    EXPECT_DOUBLE_EQ(RoundToCents(15.5), 15.5);
    EXPECT_DOUBLE_EQ(RoundToCents(1.2349), 1.23);
    // x × 100 beyond the 32-bit range: unchanged.
    EXPECT_DOUBLE_EQ(RoundToCents(30000000.123), 30000000.123);
    EXPECT_DOUBLE_EQ(RoundToCents(-30000000.123), -30000000.123);
    EXPECT_DOUBLE_EQ(RoundToCents(21474836.47), 21474836.47);
}

TEST(BrowserValues, DecimalTextHasNoTrailingZeros) {
    EXPECT_EQ(DecimalText(15.5), "15.5");
    EXPECT_EQ(DecimalText(3.25), "3.25");
    EXPECT_EQ(DecimalText(0.0), "0");
    EXPECT_EQ(DecimalText(100.0), "100");
    EXPECT_EQ(DecimalText(RoundToCents(0.1 + 0.2)), "0.3");
}

TEST(BrowserValues, DateTextNeedsEightDigitsOfAValidDate) {
    EXPECT_EQ(CheckDateText("20040131"), 0);
    EXPECT_EQ(CheckDateText("20040229"), 0);
    EXPECT_EQ(CheckDateText("2004013"), 257);
    EXPECT_EQ(CheckDateText(""), 257);
    EXPECT_EQ(CheckDateText("200401311"), 257);
    EXPECT_EQ(CheckDateText("2004013a"), 105);
    EXPECT_EQ(CheckDateText("2004 131"), 105);
    // Eight characters that are not ASCII digits are not digits, whatever their byte count.
    EXPECT_EQ(CheckDateText("２００４０１３１"), 105);
    EXPECT_EQ(CheckDateText("19990101"), 256);
    EXPECT_EQ(CheckDateText("20041301"), 512);
    EXPECT_EQ(CheckDateText("20030229"), 1024);
    EXPECT_EQ(CheckDateText("19991332"), 256 + 512 + 1024);
}

// ---------------------------------------------------------------------------------------------------------
// Tabs, grids and labels

TEST_F(BrowserTest, EachTabShowsItsTableInOrder) {
    AddTaxpayer();
    AddRow("TaxInformation", {{"税种税目索引号", std::int64_t{1}}, {"税种项目代码", std::string("0101")}});
    AddRow("TaxInformation", {{"税种税目索引号", std::int64_t{2}}, {"税种项目代码", std::string("0102")}});
    AddInvoice("20040105", "0000000001", 1, 10.0, 2);
    AddRoll("110001", "0000000001", "0000000050", "20040131");
    AddDay("20040105", 1.0, 0.5);
    AddDeclaration("20040101", "20040131", 2.0);
    AddRow("MachineData", {{"机器编号", std::string("M0001")},
                           {"生产日期", std::string("20031201")},
                           {"硬件版本号", std::string("H1.0")},
                           {"软件版本号", std::string("S2.1")}});
    Datashow& b = Open();

    EXPECT_EQ(b.windowTitle(), "数据显示");
    ASSERT_EQ(b.TabStrip()->count(), 6);
    const char* captions[] = {"初始化数据", "发票打印数据", "单卷发票使用汇总", "日交易数据", "申报数据", "机器数据"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(b.TabStrip()->tabText(i), QString::fromUtf8(captions[i]));
        EXPECT_EQ(b.TabStrip()->widget(i), b.Frame(i + 1));
    }
    EXPECT_EQ(b.TabStrip()->currentIndex(), 0);

    struct GridCase {
        int grid;
        const char* table;
        int rows;
    };
    for (GridCase c : {GridCase{1, "TaxInformation", 2}, GridCase{2, "InvUseSum", 1}, GridCase{3, "DayTrade", 1},
                       GridCase{4, "DayTradeShow", 6}, GridCase{5, "DecShowTemp", 6}, GridCase{6, "InvPDatTemp", 6},
                       GridCase{7, "InvPrintData", 1}, GridCase{8, "DeclareData", 1}}) {
        QTableView* grid = b.DataGrid(c.grid);
        ASSERT_NE(grid, nullptr) << c.grid;
        EXPECT_EQ(grid->objectName(), QStringLiteral("DataGrid%1").arg(c.grid));
        auto* model = dynamic_cast<RecordSetModel*>(grid->model());
        ASSERT_NE(model, nullptr) << c.grid;
        ASSERT_NE(model->Table(), nullptr) << c.grid;
        EXPECT_EQ(model->Table()->name, c.table) << c.grid;
        EXPECT_EQ(model->rowCount(), c.rows) << c.table;
        EXPECT_FALSE(grid->editTriggers() & QAbstractItemView::AllEditTriggers) << "grids are read-only";
    }
    EXPECT_EQ(Cell(b.DataGrid(1), 1, "税种项目代码"), "0102");
    EXPECT_TRUE(b.ViewFlag(Datashow::kSlotInvPrintData));
    EXPECT_TRUE(b.ViewFlag(Datashow::kSlotDayTrade));
    EXPECT_TRUE(b.ViewFlag(Datashow::kSlotDeclareData));

    // Tab 1 and tab 3: the first UserInformation row; amounts with two decimals, the declaration mode as a code.
    EXPECT_EQ(Label(b, 1, "纳税人名称"), "测试商店");
    EXPECT_EQ(Label(b, 1, "税号"), "110101123456789");
    EXPECT_EQ(Label(b, 1, "单张发票开票金额限额"), "10000.50");
    EXPECT_EQ(Label(b, 1, "发票累计金额限额"), "1000000.00");
    EXPECT_EQ(Label(b, 1, "退票累计金额限额"), "5000.25");
    EXPECT_EQ(Label(b, 1, "申报方式"), "2（未知）");
    EXPECT_EQ(Label(b, 1, "开票截止日期"), "20041231");
    EXPECT_EQ(Label(b, 3, "纳税人名称"), "测试商店");
    EXPECT_EQ(Label(b, 3, "税号"), "110101123456789");
    EXPECT_EQ(Label(b, 3, "发票终止号"), "0000000050");
    EXPECT_EQ(Label(b, 3, "退票总金额"), "3.25");
    EXPECT_EQ(Label(b, 3, "废票份数"), "2");
    EXPECT_EQ(Label(b, 5, "数据截止日期"), "20040131");
    EXPECT_EQ(Label(b, 5, "税控卡正常发票总累计金额"), "1234.50");
    // Tab 6: the machine.
    EXPECT_EQ(Label(b, 6, "机器编号"), "M0001");
    EXPECT_EQ(Label(b, 6, "软件版本号"), "S2.1");
    // Tab 1's first two columns keep their fixed widths, the code column as far as its digits allow.
    EXPECT_EQ(b.DataGrid(1)->columnWidth(0), 87);
    EXPECT_GE(b.DataGrid(1)->columnWidth(1), 53);
}

// The keyboard gets out of a grid: Tab goes on to the query boxes and Ctrl+Tab to the next tab.
TEST_F(BrowserTest, TabLeavesAGridAndCtrlTabSwitchesTabs) {
    AddDay("20040105", 1.0, 0.5);
    Datashow& b = Open();
    b.show();
    QApplication::setActiveWindow(&b);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&b));
    b.TabStrip()->setCurrentIndex(3);
    QTableView* grid = b.DataGrid(3);
    grid->setFocus();
    ASSERT_TRUE(grid->hasFocus());
    bool reached = false;
    for (int i = 0; i < 20 && !reached; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached = QApplication::focusWidget() == b.QueryInput(0);
    }
    EXPECT_TRUE(reached) << "Tab never reached the first query box";
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(b.TabStrip()->currentIndex(), 4);
}

// The tax items' code column shows its eight digits whatever the font: a Chinese font's digits are wider
// than the column's fixed width allows.
TEST_F(BrowserTest, TaxItemCodeColumnHoldsEightDigitsInTheGridFont) {
    AddRow("TaxInformation", {{"税种税目索引号", std::int64_t{1}}, {"税种项目代码", std::string("01020304")}});
    struct LargeFont {
        QFont normal = QApplication::font();
        LargeFont() {
            QFont large = normal;
            large.setPointSize(normal.pointSize() * 2);
            QApplication::setFont(large);
        }
        ~LargeFont() { QApplication::setFont(normal); }
    } largeFont;
    Datashow& b = Open();
    QTableView* grid = b.DataGrid(1);
    EXPECT_GT(grid->columnWidth(1), grid->fontMetrics().horizontalAdvance(Cell(grid, 0, "税种项目代码")));
    browser_.reset();
}

// What the operator sees: every tab caption whole, the six slots of a detail grid all in view, several rows
// of each table at once, and key and number columns wide enough for their values.
TEST_F(BrowserTest, WindowShowsWholeCaptionsRowsAndValues) {
    for (int i = 1; i <= 12; ++i) {
        char number[11];
        std::snprintf(number, sizeof number, "%010d", i);
        AddInvoice("20040105", number, 1, 1.0, 3);
    }
    AddRoll("11000412345678901234", "0000000001", "0000000050", "20040131");
    for (const char* d : {"20040101", "20040102", "20040103", "20040104", "20040105", "20040106"}) AddDay(d, 1.0, 0.5);
    AddDeclaration("20040101", "20040131", 2.0);
    Datashow& b = Open();
    b.show();
    QApplication::processEvents();

    QTabBar* bar = b.TabStrip()->tabBar();
    for (int i = 0; i < b.TabStrip()->count(); ++i)
        EXPECT_LE(bar->tabRect(i).right(), bar->width()) << "tab " << i + 1 << " cut off";

    auto rowsInView = [](QTableView* grid) {
        int n = 0;
        for (int r = 0; r < grid->model()->rowCount(); ++r)
            if (grid->rowViewportPosition(r) + grid->rowHeight(r) <= grid->viewport()->height()) ++n;
        return n;
    };
    for (int tab = 1; tab <= 6; ++tab) {
        b.TabStrip()->setCurrentIndex(tab - 1);
        QApplication::processEvents();
    }
    for (int g : {4, 5, 6}) EXPECT_EQ(rowsInView(b.DataGrid(g)), 6) << "DataGrid" << g;
    EXPECT_GE(rowsInView(b.DataGrid(7)), 5);
    EXPECT_GE(rowsInView(b.DataGrid(3)), 5);

    auto wholeColumn = [](QTableView* grid, const char* field) {
        for (int c = 0; c < grid->model()->columnCount(); ++c)
            if (grid->model()->headerData(c, Qt::Horizontal).toString() == QString::fromUtf8(field)) {
                int widest = grid->fontMetrics().horizontalAdvance(QString::fromUtf8(field));
                for (int r = 0; r < grid->model()->rowCount(); ++r)
                    widest = std::max(widest, grid->fontMetrics().horizontalAdvance(
                                                  grid->model()->data(grid->model()->index(r, c)).toString()));
                return grid->columnWidth(c) > widest;
            }
        return false;
    };
    EXPECT_TRUE(wholeColumn(b.DataGrid(7), "开票日期发票号"));
    EXPECT_TRUE(wholeColumn(b.DataGrid(7), "税控码"));
    EXPECT_TRUE(wholeColumn(b.DataGrid(2), "发票代码"));
    EXPECT_TRUE(wholeColumn(b.DataGrid(6), "商品名称"));
    EXPECT_TRUE(wholeColumn(b.DataGrid(8), "税控卡编号"));
}

TEST_F(BrowserTest, EmptyOrMissingStoreShowsEmptyViews) {
    Datashow& b = Open();
    for (int g = 1; g <= 8; ++g) {
        // Display tables are never filled without a row to show.
        EXPECT_EQ(b.DataGrid(g)->model()->rowCount(), 0) << g;
    }
    EXPECT_EQ(Label(b, 1, "纳税人名称"), "");
    EXPECT_EQ(Total(b, "开票总累"), "");
    EXPECT_EQ(Count("InvPDatTemp"), 0);

    Datashow closed(nullptr);
    for (int g = 1; g <= 8; ++g) EXPECT_EQ(closed.DataGrid(g)->model()->rowCount(), 0) << g;
    closed.QueryInput(0)->setText("20040101");
    closed.QueryInput(1)->setText("20040131");
    EXPECT_EQ(closed.RunRangeQuery(Datashow::kQueryDayTrade), 0);
    EXPECT_EQ(closed.DataGrid(3)->model()->rowCount(), 0);
}

TEST_F(BrowserTest, LabelsAndGoodsGridFollowTheCurrentInvoice) {
    AddInvoice("20040105", "0000000001", 1, 10.0, 6, 2.0);
    AddInvoice("20040106", "0000000002", 2, 3.125, 3, 3.125);
    // Rows left from an earlier session: the goods grid must show six slots of the current row only.
    for (int i = 0; i < 8; ++i)
        AddRow("InvPDatTemp", {{"序号", std::int64_t{90 + i}}, {"商品名称", std::string("旧")}});
    Datashow& b = Open();

    EXPECT_EQ(b.CurrentRow(Datashow::kSlotInvPrintData), 0);
    EXPECT_EQ(Label(b, 2, "发票号"), "0000000001");
    EXPECT_EQ(Label(b, 2, "开票类型"), "1 正常");
    QTableView* goods = b.DataGrid(6);
    ASSERT_EQ(goods->model()->rowCount(), 6);
    EXPECT_EQ(Cell(goods, 5, "商品名称"), "商品6");
    EXPECT_EQ(Cell(goods, 5, "金额"), "12.00");

    b.SelectRow(Datashow::kSlotInvPrintData, 1);
    EXPECT_EQ(b.CurrentRow(Datashow::kSlotInvPrintData), 1);
    EXPECT_EQ(Label(b, 2, "开票日期"), "20040106");
    EXPECT_EQ(Label(b, 2, "发票号"), "0000000002");
    EXPECT_EQ(Label(b, 2, "开票类型"), "2 退票");
    EXPECT_EQ(Label(b, 2, "开票总金额"), "3.12");
    EXPECT_EQ(Label(b, 2, "付款单位"), "付款人0000000002");
    // Three goods lines: six rows, one per slot, the last three with that row's empty slot values.
    ASSERT_EQ(goods->model()->rowCount(), 6);
    for (int k = 1; k <= 6; ++k) EXPECT_EQ(Cell(goods, k - 1, "序号"), QString::number(k));
    EXPECT_EQ(Cell(goods, 0, "商品名称"), "商品1");
    EXPECT_EQ(Cell(goods, 2, "商品名称"), "商品3");
    EXPECT_EQ(Cell(goods, 2, "数量"), "3");
    // 3.125 × 1 rounds to cents with the tie going to the even cent.
    EXPECT_EQ(Cell(goods, 0, "金额"), "3.12");
    EXPECT_EQ(Cell(goods, 1, "金额"), "6.25");
    for (int r = 3; r < 6; ++r) {
        EXPECT_EQ(Cell(goods, r, "商品名称"), "") << r;
        EXPECT_EQ(Cell(goods, r, "金额"), "") << r;
    }
    // The display table itself holds the six slots, overwritten in place.
    EXPECT_EQ(Count("InvPDatTemp"), 6);
    b.SelectRow(Datashow::kSlotInvPrintData, 0);
    EXPECT_EQ(Count("InvPDatTemp"), 6);
    EXPECT_EQ(Cell(goods, 3, "商品名称"), "商品4");
    // The browser writes nothing but its display tables.
    EXPECT_EQ(Count("InvPrintData"), 2);
}

TEST_F(BrowserTest, InvoiceTotalsCountNormalAndReturnKindsOnly) {
    AddInvoice("20040105", "0000000001", 1, 10.00);
    AddInvoice("20040105", "0000000002", 1, 5.50);
    AddInvoice("20040106", "0000000003", 2, 3.25);
    AddInvoice("20040107", "0000000004", 3, 100.0);
    Datashow& b = Open();
    EXPECT_EQ(Total(b, "开票总累"), "15.50");
    EXPECT_EQ(Total(b, "退票总累"), "3.25");
    // Summing the rows leaves the operator's row where it was.
    b.SelectRow(Datashow::kSlotInvPrintData, 2);
    b.RangeOption(Datashow::kQueryInvPrintData, 0)->setChecked(true);
    b.QueryInput(2)->setText("20040105");
    b.QueryInput(3)->setText("20040106");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryInvPrintData), 0);
    EXPECT_EQ(b.DataGrid(7)->model()->rowCount(), 3);
    EXPECT_EQ(Total(b, "开票总累"), "15.50");
    EXPECT_EQ(b.CurrentRow(Datashow::kSlotInvPrintData), 0);
    b.QueryInput(2)->setText("20040106");
    b.QueryInput(3)->setText("20040107");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryInvPrintData), 0);
    EXPECT_EQ(Total(b, "开票总累"), "0.00");
    EXPECT_EQ(Total(b, "退票总累"), "3.25");
}

TEST_F(BrowserTest, TotalsOverManyRowsAreRoundedOnceAtTheEnd) {
    // More rows than one turn of the event loop covers; the sum of 0.1s drifts and is rounded once.
    RecordSet rs;
    ASSERT_EQ(rs.Open(store_->Connection(), Selection::Of("InvPrintData")), 0);
    for (int i = 1; i <= 600; ++i) {
        char number[11];
        std::snprintf(number, sizeof number, "%010d", i);
        ASSERT_EQ(rs.AddNew(), 0);
        ASSERT_EQ(rs.SetText("开票日期发票号", std::string("20040105") + number), 0);
        ASSERT_EQ(rs.SetText("开票日期", "20040105"), 0);
        ASSERT_EQ(rs.SetText("发票号", number), 0);
        ASSERT_EQ(rs.SetInteger("开票类型", i % 3 == 0 ? 2 : 1), 0);
        ASSERT_EQ(rs.SetDouble("开票总金额", 0.1), 0);
        ASSERT_EQ(rs.Update(), 0);
    }
    Datashow& b = Open();
    EXPECT_EQ(b.DataGrid(7)->model()->rowCount(), 600);
    EXPECT_EQ(Total(b, "开票总累"), "40.00");
    EXPECT_EQ(Total(b, "退票总累"), "20.00");
    EXPECT_EQ(b.CurrentRow(Datashow::kSlotInvPrintData), 0);
}

TEST_F(BrowserTest, DayTotalsAndTotalsOverAllShownDays) {
    // Slots k carry 1.125 × k normal and 0.25 × k return: a day sums to 23.625 and 5.25.
    AddDay("20031231", 1.125, 0.25);
    AddDay("20040101", 1.125, 0.25);
    AddDay("20040115", 0.5, 0.0);
    Datashow& b = Open();
    EXPECT_EQ(Label(b, 4, "日期"), "20031231");
    EXPECT_EQ(Label(b, 4, "正常发票份数"), "3");
    // The day sum is taken unrounded, then rounded once.
    EXPECT_EQ(Total(b, "当天正常累计"), "23.62");
    EXPECT_EQ(Total(b, "当天退票累计"), "5.25");
    EXPECT_EQ(Total(b, "正常全部累计"), AmountText(RoundToCents(23.625 * 2 + 10.5)));
    EXPECT_EQ(Total(b, "退票全部累计"), "10.50");
    QTableView* slots = b.DataGrid(4);
    ASSERT_EQ(slots->model()->rowCount(), 6);
    EXPECT_EQ(Cell(slots, 0, "ID"), "1");
    EXPECT_EQ(Cell(slots, 0, "正常发票累计金额"), "1.12");
    EXPECT_EQ(Cell(slots, 5, "税种税目索引号"), "6");
    EXPECT_EQ(Cell(slots, 5, "正常发票累计金额"), "6.75");

    b.SelectRow(Datashow::kSlotDayTrade, 2);
    EXPECT_EQ(Label(b, 4, "日期"), "20040115");
    EXPECT_EQ(Total(b, "当天正常累计"), "10.50");
    EXPECT_EQ(Total(b, "当天退票累计"), "0.00");
    EXPECT_EQ(Cell(slots, 1, "正常发票累计金额"), "1.00");
    EXPECT_EQ(Count("DayTradeShow"), 6);
}

TEST_F(BrowserTest, DeclarationSlotsFollowTheCurrentDeclaration) {
    AddDeclaration("20040101", "20040131", 2.0);
    AddDeclaration("20040201", "20040229", 3.0);
    Datashow& b = Open();
    EXPECT_EQ(Cell(b.DataGrid(5), 5, "正常发票累计金额"), "12.00");
    b.SelectRow(Datashow::kSlotDeclareData, 1);
    EXPECT_EQ(Label(b, 5, "数据起始日期"), "20040201");
    EXPECT_EQ(Cell(b.DataGrid(5), 5, "正常发票累计金额"), "18.00");
    EXPECT_EQ(Count("DecShowTemp"), 6);

    b.QueryInput(10)->setText("20040201");
    b.QueryInput(11)->setText("20040301");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDeclareData), 0);
    ASSERT_EQ(b.DataGrid(8)->model()->rowCount(), 1);
    EXPECT_EQ(Label(b, 5, "数据截止日期"), "20040229");
}

// ---------------------------------------------------------------------------------------------------------
// Range queries

TEST_F(BrowserTest, DateRangeSelectsTheDaysInclusively) {
    for (const char* d : {"20031231", "20040101", "20040115", "20040131", "20040201"}) AddDay(d, 1.0, 0.0);
    Datashow& b = Open();
    EXPECT_EQ(Total(b, "正常全部累计"), "105.00");
    b.SelectRow(Datashow::kSlotDayTrade, 4);
    b.QueryInput(0)->setText("20040101");
    b.QueryInput(1)->setText("20040131");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 0);
    EXPECT_EQ(b.QueryMessage(Datashow::kQueryDayTrade), "");
    QTableView* days = b.DataGrid(3);
    ASSERT_EQ(days->model()->rowCount(), 3);
    EXPECT_EQ(Cell(days, 0, "日期"), "20040101");
    EXPECT_EQ(Cell(days, 2, "日期"), "20040131");
    // Totals over the days shown, and the first of them selected again.
    EXPECT_EQ(Total(b, "正常全部累计"), "63.00");
    EXPECT_EQ(b.CurrentRow(Datashow::kSlotDayTrade), 0);
    EXPECT_EQ(Label(b, 4, "日期"), "20040101");
}

TEST_F(BrowserTest, BadBeginDateIsEmptiedAndFocusedAndNothingIsQueried) {
    for (const char* d : {"20031231", "20040101"}) AddDay(d, 1.0, 0.0);
    Datashow& b = Open();
    b.QueryInput(0)->setText("2004010");
    b.QueryInput(1)->setText("20040131");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 257);
    EXPECT_EQ(b.QueryInput(0)->text(), "");
    EXPECT_EQ(b.QueryInput(1)->text(), "20040131");
    EXPECT_EQ(b.focusWidget(), b.QueryInput(0));
    EXPECT_EQ(b.DataGrid(3)->model()->rowCount(), 2);
    EXPECT_EQ(b.QueryMessage(Datashow::kQueryDayTrade), "0x101：日期字符串长度不等于预定义长度");

    // A bad end box alone is emptied without taking the focus.
    b.QueryButton(Datashow::kQueryDayTrade)->setFocus();
    b.QueryInput(0)->setText("20040101");
    b.QueryInput(1)->setText("20041332");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 512 + 1024);
    EXPECT_EQ(b.QueryInput(0)->text(), "20040101");
    EXPECT_EQ(b.QueryInput(1)->text(), "");
    EXPECT_NE(b.focusWidget(), b.QueryInput(1));
    EXPECT_EQ(b.DataGrid(3)->model()->rowCount(), 2);
    EXPECT_EQ(b.QueryMessage(Datashow::kQueryDayTrade), "0x600：错误的日期：月、日");

    // Both bad: both emptied, the begin box focused, its code reported.
    b.QueryInput(0)->setText("2004abcd");
    b.QueryInput(1)->setText("2004");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 105);
    EXPECT_EQ(b.QueryInput(0)->text(), "");
    EXPECT_EQ(b.QueryInput(1)->text(), "");
    EXPECT_EQ(b.focusWidget(), b.QueryInput(0));
    EXPECT_EQ(b.QueryMessage(Datashow::kQueryDayTrade), "0x69：输入数字字符串中存在非数字字符");

    // A good query afterwards clears the message.
    b.QueryInput(0)->setText("20040101");
    b.QueryInput(1)->setText("20040101");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 0);
    EXPECT_EQ(b.QueryMessage(Datashow::kQueryDayTrade), "");
    EXPECT_EQ(b.DataGrid(3)->model()->rowCount(), 1);
}

TEST_F(BrowserTest, InvoiceNumberRangeIsPaddedToTenDigits) {
    for (const char* n : {"0000000001", "0000000025", "0000000026", "0000000100"}) AddInvoice("20040105", n, 1, 1.0);
    Datashow& b = Open();
    b.RangeOption(Datashow::kQueryInvPrintData, 1)->setChecked(true);
    b.QueryInput(4)->setText("1");
    b.QueryInput(5)->setText("25");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryInvPrintData), 0);
    QTableView* grid = b.DataGrid(7);
    ASSERT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(Cell(grid, 0, "发票号"), "0000000001");
    EXPECT_EQ(Cell(grid, 1, "发票号"), "0000000025");
    EXPECT_EQ(Total(b, "开票总累"), "2.00");

    // Query 2 compares the roll's first number the same way.
    AddRoll("110001", "0000000001", "0000000050", "20040131");
    AddRoll("110001", "0000000051", "0000000100", "20040229");
    Datashow second(store_->Connection());
    second.RangeOption(Datashow::kQueryInvUseSum, 1)->setChecked(true);
    second.QueryInput(8)->setText("51");
    second.QueryInput(9)->setText("0000000099");
    EXPECT_EQ(second.RunRangeQuery(Datashow::kQueryInvUseSum), 0);
    ASSERT_EQ(second.DataGrid(2)->model()->rowCount(), 1);
    EXPECT_EQ(Label(second, 3, "发票终止号"), "0000000100");
    // ... or its last issue date.
    second.RangeOption(Datashow::kQueryInvUseSum, 0)->setChecked(true);
    second.QueryInput(6)->setText("20040101");
    second.QueryInput(7)->setText("20040131");
    EXPECT_EQ(second.RunRangeQuery(Datashow::kQueryInvUseSum), 0);
    ASSERT_EQ(second.DataGrid(2)->model()->rowCount(), 1);
    EXPECT_EQ(Label(second, 3, "发票起始号"), "0000000001");

    // An eleven-digit number cannot be typed; a too-long text set otherwise is refused with 103.
    b.QueryInput(4)->setMaxLength(32);
    b.QueryInput(4)->setText("12345678901");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryInvPrintData), 103);
    EXPECT_EQ(b.QueryInput(4)->text(), "");
    EXPECT_EQ(grid->model()->rowCount(), 2);
}

TEST_F(BrowserTest, BeginAfterEndGivesAnEmptyGridAndNoTotals) {
    AddInvoice("20040105", "0000000001", 1, 10.0, 2);
    AddInvoice("20040106", "0000000002", 2, 3.25, 1);
    Datashow& b = Open();
    ASSERT_EQ(Total(b, "开票总累"), "10.00");
    b.QueryInput(2)->setText("20040131");
    b.QueryInput(3)->setText("20040101");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryInvPrintData), 0);
    EXPECT_EQ(b.DataGrid(7)->model()->rowCount(), 0);
    EXPECT_EQ(Total(b, "开票总累"), "");
    EXPECT_EQ(Total(b, "退票总累"), "");
    // Nothing is current, so nothing of an earlier row is left in the labels or the goods grid.
    EXPECT_EQ(b.CurrentRow(Datashow::kSlotInvPrintData), -1);
    EXPECT_EQ(Label(b, 2, "发票号"), "");
    EXPECT_EQ(b.DataGrid(6)->model()->rowCount(), 0);
}

TEST_F(BrowserTest, RangeOptionsEnableTheirOwnBoxes) {
    Datashow& b = Open();
    for (int q : {Datashow::kQueryInvPrintData, Datashow::kQueryInvUseSum}) {
        const int dateBox = q == 1 ? 2 : 6;
        const int numberBox = q == 1 ? 4 : 8;
        EXPECT_TRUE(b.RangeOption(q, 0)->isChecked());
        EXPECT_EQ(b.RangeOption(q, 0)->text(), "时间段");
        EXPECT_EQ(b.RangeOption(q, 1)->text(), q == 1 ? "发票号码" : "发票号");
        EXPECT_TRUE(b.QueryInput(dateBox)->isEnabled());
        EXPECT_FALSE(b.QueryInput(numberBox + 1)->isEnabled());
        b.RangeOption(q, 1)->setChecked(true);
        EXPECT_FALSE(b.QueryInput(dateBox + 1)->isEnabled());
        EXPECT_TRUE(b.QueryInput(numberBox)->isEnabled());
        EXPECT_TRUE(b.QueryInput(numberBox + 1)->isEnabled());
    }
    for (int i : {0, 1, 2, 3, 6, 7, 10, 11}) EXPECT_EQ(b.QueryInput(i)->maxLength(), 8) << i;
    for (int i : {4, 5, 8, 9}) EXPECT_EQ(b.QueryInput(i)->maxLength(), 10) << i;
}

TEST_F(BrowserTest, FullBoxesPassTheFocusOnWithoutQuerying) {
    for (const char* d : {"20031231", "20040101"}) AddDay(d, 1.0, 0.0);
    Datashow& b = Open();
    b.QueryInput(0)->setFocus();
    QTest::keyClicks(b.QueryInput(0), "20040101");
    EXPECT_EQ(b.focusWidget(), b.QueryInput(1));
    QTest::keyClicks(b.QueryInput(1), "20040131");
    EXPECT_EQ(b.focusWidget(), b.QueryButton(Datashow::kQueryDayTrade));
    EXPECT_EQ(b.DataGrid(3)->model()->rowCount(), 2) << "the query waits for its button";

    struct Step {
        int box;
        const char* text;
        QWidget* next;
    };
    auto run = [&b](std::initializer_list<Step> steps) {
        for (Step s : steps) {
            b.QueryInput(s.box)->setFocus();
            b.QueryInput(s.box)->setText(s.text);
            EXPECT_EQ(b.focusWidget(), s.next) << s.box;
        }
    };
    run({Step{2, "20040101", b.QueryInput(3)}, Step{3, "20040101", b.QueryButton(1)},
         Step{6, "20040101", b.QueryInput(7)}, Step{7, "20040101", b.QueryButton(2)},
         Step{10, "20040101", b.QueryInput(11)}, Step{11, "20040101", b.QueryButton(4)}});
    b.RangeOption(1, 1)->setChecked(true);
    b.RangeOption(2, 1)->setChecked(true);
    run({Step{4, "0000000001", b.QueryInput(5)}, Step{5, "0000000009", b.QueryButton(1)},
         Step{8, "0000000001", b.QueryInput(9)}, Step{9, "0000000009", b.QueryButton(2)}});
    // A box that is not full keeps the focus.
    b.QueryInput(4)->setFocus();
    b.QueryInput(4)->setText("123");
    EXPECT_EQ(b.focusWidget(), b.QueryInput(4));
}

TEST_F(BrowserTest, QueryButtonRunsTheQuery) {
    for (const char* d : {"20031231", "20040101"}) AddDay(d, 1.0, 0.0);
    Datashow& b = Open();
    b.QueryInput(0)->setText("20040101");
    b.QueryInput(1)->setText("20040101");
    QTest::mouseClick(b.QueryButton(Datashow::kQueryDayTrade), Qt::LeftButton);
    EXPECT_EQ(b.DataGrid(3)->model()->rowCount(), 1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the hourglass is gone after the query";
}

// ---------------------------------------------------------------------------------------------------------
// Hostile input

TEST_F(BrowserTest, InjectionInTheQueryBoxesIsHarmless) {
    for (const char* n : {"0000000001", "0000000002", "0000000003"}) AddInvoice("20040105", n, 1, 1.0);
    for (const char* d : {"20031231", "20040101", "20040201"}) AddDay(d, 1.0, 0.0);
    Datashow& b = Open();

    // Quotes and SQL in a number box: refused as not digits, nothing queried.
    b.RangeOption(Datashow::kQueryInvPrintData, 1)->setChecked(true);
    b.QueryInput(4)->setText("1' OR '1'='1");
    b.QueryInput(5)->setText("2'--");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryInvPrintData), 105);
    EXPECT_EQ(b.QueryInput(4)->text(), "");
    EXPECT_EQ(b.QueryInput(5)->text(), "");
    EXPECT_EQ(b.DataGrid(7)->model()->rowCount(), 3);

    // Without the box's length limit the text is still refused.
    b.QueryInput(4)->setMaxLength(64);
    b.QueryInput(4)->setText("0'); DROP TABLE InvPrintData; --");
    b.QueryInput(5)->setText("9");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryInvPrintData), 105);

    // A date box keeps eight characters of what is pasted: the rest never reaches the query.
    b.QueryInput(0)->setText("20040101' OR '1'='1");
    b.QueryInput(1)->setText("20040131' OR '1'='1");
    EXPECT_EQ(b.QueryInput(1)->text(), "20040131");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 0);
    ASSERT_EQ(b.DataGrid(3)->model()->rowCount(), 1);
    EXPECT_EQ(Cell(b.DataGrid(3), 0, "日期"), "20040101");
    b.QueryInput(0)->setMaxLength(64);
    b.QueryInput(0)->setText("2004'||'");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 105);
    b.QueryInput(0)->setText("20040101' OR 1=1; DELETE FROM DayTrade; --");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 257);

    EXPECT_EQ(Count("InvPrintData"), 3);
    EXPECT_EQ(Count("DayTrade"), 3);
}

// ---------------------------------------------------------------------------------------------------------
// Charts, large tables and the export

// The bars of a chart: its categories and, per set, the set's values.
struct Bars {
    QStringList categories;
    std::vector<std::pair<QString, std::vector<double>>> sets;
};
Bars ChartBarsOf(QChartView* view) {
    Bars out;
    if (!view || view->chart()->series().size() != 1) return out;
    auto* series = qobject_cast<QBarSeries*>(view->chart()->series().front());
    for (QBarSet* set : series->barSets()) {
        std::vector<double> values;
        for (int i = 0; i < set->count(); ++i) values.push_back(set->at(i));
        out.sets.emplace_back(set->label(), values);
    }
    for (QAbstractAxis* axis : view->chart()->axes(Qt::Horizontal))
        if (auto* c = qobject_cast<QBarCategoryAxis*>(axis)) out.categories = c->categories();
    return out;
}

// Both charts follow their grid's range query, with the store's sums: a day's normal and return amounts
// (its six slots added), a roll's used invoices and the rest of the roll.
TEST_F(BrowserTest, ChartsFollowTheRangeQueryWithTheStoresSums) {
    for (const auto& [d, normal, ret] : std::vector<std::tuple<const char*, double, double>>{
             {"20031231", 1.0, 0.5}, {"20040101", 2.0, 0.0}, {"20040115", 0.25, 1.0}, {"20040201", 3.0, 0.0}})
        AddDay(d, normal, ret);
    AddRoll("123456789012", "0000000001", "0000000100", "20040110");
    AddRoll("123456789012", "0000000101", "0000000150", "20040220");
    Datashow& b = Open();
    Bars days = ChartBarsOf(b.DayTradeChart());
    EXPECT_EQ(days.categories, (QStringList{"03-12-31", "04-01-01", "04-01-15", "04-02-01"}));
    ASSERT_EQ(days.sets.size(), 2u);
    EXPECT_EQ(days.sets[0].first, "正常金额");
    EXPECT_EQ(days.sets[0].second, (std::vector<double>{21, 42, 5.25, 63}));  // slots k × amount, k = 1..6
    EXPECT_EQ(days.sets[1].second, (std::vector<double>{10.5, 0, 21, 0}));
    Bars rolls = ChartBarsOf(b.RollChart());
    EXPECT_EQ(rolls.categories, (QStringList{"0000000001", "0000000101"}));
    ASSERT_EQ(rolls.sets.size(), 2u);
    EXPECT_EQ(rolls.sets[0].second, (std::vector<double>{23, 23}));  // 20 normal, 1 return, 2 void
    EXPECT_EQ(rolls.sets[1].second, (std::vector<double>{77, 27}));

    b.QueryInput(0)->setText("20040101");
    b.QueryInput(1)->setText("20040131");
    ASSERT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 0);
    days = ChartBarsOf(b.DayTradeChart());
    EXPECT_EQ(days.categories, (QStringList{"01-01", "01-15"}));
    EXPECT_EQ(days.sets[0].second, (std::vector<double>{42, 5.25}));
    b.QueryInput(6)->setText("20040201");
    b.QueryInput(7)->setText("20040229");
    ASSERT_EQ(b.RunRangeQuery(Datashow::kQueryInvUseSum), 0);
    rolls = ChartBarsOf(b.RollChart());
    EXPECT_EQ(rolls.categories, QStringList{"0000000101"});
}

// Thousands of rows: the grid reads windows of them (a bounded number held), the last row is there at once,
// and the totals are the store's.
TEST_F(BrowserTest, LargeTableIsReadInWindowsAndTotalledByTheStore) {
    const int rows = 5000;
    ASSERT_EQ(
        store_->Connection()->Exec(
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(rows) +
            ") INSERT INTO InvPrintData (开票日期发票号, 开票日期, 发票号, 开票类型, 开票总金额) SELECT "
            "printf('2004%02d%02d%010d', 1 + i % 12, 1 + i % 28, i), printf('2004%02d%02d', 1 + i % 12, 1 + i % 28), "
            "printf('%010d', i), 1 + (i % 4 = 0), i * 0.5 FROM n"),
        0);
    Datashow& b = Open();
    QTableView* grid = b.DataGrid(7);
    ASSERT_EQ(grid->model()->rowCount(), rows);
    b.SelectRow(Datashow::kSlotInvPrintData, rows - 1);
    grid->scrollToBottom();
    EXPECT_EQ(Cell(grid, rows - 1, "发票号"), "0000005000");
    EXPECT_EQ(Label(b, 2, "发票号"), "0000005000");
    for (int r = 0; r < rows; r += 97) grid->model()->data(grid->model()->index(r, 2));
    EXPECT_LE(b.SlotModel(Datashow::kSlotInvPrintData)->RowsHeld(),
              std::size_t{RecordSetModel::kWindowRows} * RecordSetModel::kWindowsHeld);
    // Kind 2 for every fourth invoice: 0.5 × (4 + 8 + … + 5000) = 1,563,750 of 6,251,250.
    EXPECT_EQ(Total(b, "退票总累"), "1563750.00");
    EXPECT_EQ(Total(b, "开票总累"), "4687500.00");
}

// The export writes the grid's whole selection (not only the rows on screen) as CSV with a byte-order mark;
// a file that cannot be written is 156 with the path and the reason, and leaves no file behind.
TEST_F(BrowserTest, ExportWritesTheShownRowsAsCsv) {
    AddInvoice("20040105", "0000000001", 1, 1.5);
    AddInvoice("20040205", "0000000002", 2, 2.0);
    AddInvoice("20040206", "0000000003", 1, 3.0);
    Datashow& b = Open();
    b.QueryInput(2)->setText("20040201");
    b.QueryInput(3)->setText("20040229");
    ASSERT_EQ(b.RunRangeQuery(Datashow::kQueryInvPrintData), 0);
    ASSERT_NE(b.ExportButton(Datashow::kQueryInvPrintData), nullptr);
    const auto file = dir_ / "导出.csv";
    ASSERT_EQ(b.ExportShownRows(Datashow::kQueryInvPrintData, QString::fromStdString(file.string())), 0);
    std::ifstream in(file, std::ios::binary);
    const std::string csv((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(csv.rfind("\xEF\xBB\xBF开票日期发票号,开票日期,发票号,", 0), 0u) << csv;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);
    EXPECT_NE(csv.find("\r\n200402050000000002,20040205,0000000002,2,2,"), std::string::npos) << csv;
    EXPECT_EQ(csv.find("0000000001"), std::string::npos);
    EXPECT_TRUE(b.QueryMessage(Datashow::kQueryInvPrintData).contains("2"));

    const auto missing = dir_ / "没有的目录" / "x.csv";
    EXPECT_EQ(b.ExportShownRows(Datashow::kQueryInvPrintData, QString::fromStdString(missing.string())), 156);
    EXPECT_TRUE(b.QueryMessage(Datashow::kQueryInvPrintData).contains(QString::fromStdString(missing.string())));
    EXPECT_FALSE(std::filesystem::exists(missing));
}

// ---------------------------------------------------------------------------------------------------------
// What the operator reads

TEST(BrowserValues, ShownTextReadsLikeMoneyCodesAndHidesThePassword) {
    struct Case {
        const char* field;
        FieldValue value;
        const char* shown;
    };
    const Case cases[] = {
        {"开票总金额", 1268.2, "1268.20"},
        {"开票总金额", 0.0, "0.00"},
        {"金额3", std::int64_t{5}, "5.00"},
        {"数量1", 1.5, "1.5"},  // a quantity is no amount
        {"开票类型", std::int64_t{1}, "1 正常"},
        {"开票类型", std::int64_t{3}, "3 废票"},
        {"开票类型", std::int64_t{7}, "7（未知）"},
        {"申报方式", std::int64_t{2}, "2（未知）"},
        {"税控卡使用口令", std::string("12345678"), "******"},
        {"税控卡使用口令", std::string(), ""},
        {"发票号", std::string("0000000123"), "0000000123"},
    };
    for (const Case& c : cases) EXPECT_EQ(FieldShownText(c.field, c.value), QString(c.shown)) << c.field;
}

// Labels and grids show the same: amounts right-aligned with two decimals, kinds with their meaning, the
// card password masked, a row count under the grid; an empty result clears the totals and says so.
TEST_F(BrowserTest, BrowserShowsAmountsCodesAndEmptyResultsPlainly) {
    AddRow("UserInformation", {{"税控卡使用口令", std::string("12345678")}, {"申报方式", std::int64_t{1}}});
    AddInvoice("20040105", "0000000001", 1, 1268.2);
    AddInvoice("20040106", "0000000002", 2, 3.0);
    AddDay("20040105", 1.0, 0.5);
    Datashow& b = Open();
    EXPECT_EQ(b.BoundLabel(1, "税控卡使用口令")->text(), "******");
    QTableView* grid = b.DataGrid(7);
    EXPECT_EQ(Cell(grid, 0, "开票总金额"), "1268.20");
    EXPECT_EQ(Cell(grid, 1, "开票类型"), "2 退票");
    const int amount = static_cast<RecordSetModel*>(grid->model())->Table()->FieldIndex("开票总金额");
    EXPECT_EQ(grid->model()->index(0, amount).data(Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight,
              Qt::AlignRight);
    EXPECT_EQ(b.BoundLabel(2, "开票类型")->text(), "1 正常");
    EXPECT_EQ(b.RowCountLabel(7)->text(), "共 2 条记录");

    struct Case {
        int query, begin, end;
        std::vector<const char*> totals;
        int grid;
    };
    const Case cases[] = {
        {Datashow::kQueryInvPrintData, 2, 3, {"开票总累", "退票总累"}, 7},
        {Datashow::kQueryDayTrade, 0, 1, {"正常全部累计", "退票全部累计", "当天正常累计"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        for (const char* t : c.totals) EXPECT_FALSE(Total(b, t).isEmpty()) << t;
        b.QueryInput(c.begin)->setText("20050101");
        b.QueryInput(c.end)->setText("20050131");
        ASSERT_EQ(b.RunRangeQuery(c.query), 0);
        for (const char* t : c.totals) EXPECT_EQ(Total(b, t), "") << t;
        EXPECT_EQ(b.QueryMessage(c.query), "没有符合条件的记录");
        EXPECT_EQ(b.RowCountLabel(c.grid)->text(), "共 0 条记录");
    }
}

// The chart covers the whole queried range, however many days it holds, with labels short enough to read.
TEST_F(BrowserTest, DayTradeChartCoversEveryDayOfTheRange) {
    const int days = 182;
    ASSERT_EQ(store_->Connection()->Exec("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                                         std::to_string(days - 1) +
                                         ") INSERT INTO DayTrade (日期, 正常发票累计金额1, 退票累计金额1) SELECT "
                                         "strftime('%Y%m%d', '2024-01-01', '+' || i || ' days'), 1.0, 0.0 FROM n"),
              0);
    Datashow& b = Open();
    const Bars bars = ChartBarsOf(b.DayTradeChart());
    ASSERT_FALSE(bars.categories.isEmpty());
    EXPECT_LE(bars.categories.size(), kChartDays);
    EXPECT_EQ(bars.categories.front(), "01-01");
    double sum = 0;
    for (double v : bars.sets[0].second) sum += v;
    EXPECT_EQ(sum, days);
    auto* axis = qobject_cast<QBarCategoryAxis*>(b.DayTradeChart()->chart()->axes(Qt::Horizontal).front());
    EXPECT_TRUE(axis->titleText().contains("182")) << axis->titleText().toStdString();
    EXPECT_TRUE(axis->titleText().contains("2024-01-01 至 2024-06-30")) << axis->titleText().toStdString();
}

// 导出 writes the range the query box shows even when 查询 was not pressed after typing it, from a Chinese
// save dialogue that opens in the documents folder, with the texts' padding dropped.
TEST_F(BrowserTest, ExportWritesTheRangeTheQueryBoxShows) {
    InstallQtChinese();
    // A home of the test's own, so that its documents folder is known and exists.
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(dir_.string()));
    std::filesystem::create_directory(dir_ / "Documents");
    AddInvoice("20040105", "0000000001", 1, 1.5);
    AddRow("InvPrintData", {{"开票日期发票号", std::string("200402050000000002")},
                            {"开票日期", std::string("20040205")},
                            {"发票号", std::string("0000000002")},
                            {"付款单位", std::string("付款人      ")}});
    Datashow& b = Open();
    b.QueryInput(2)->setText("20040201");
    b.QueryInput(3)->setText("20040229");
    const auto file = dir_ / "range.csv";
    QString folder, saveCaption;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return;
        answer.stop();
        folder = dialog->selectedFiles().value(0);
        for (QPushButton* p : dialog->findChildren<QPushButton*>()) saveCaption += p->text();
        dialog->selectFile(QString::fromStdString(file.string()));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    answer.start(10);
    b.ChooseExportFile(Datashow::kQueryInvPrintData);
    qputenv("HOME", home);
    EXPECT_TRUE(folder.startsWith(QString::fromStdString((dir_ / "Documents").string()))) << folder.toStdString();
    EXPECT_TRUE(saveCaption.contains("保存")) << saveCaption.toStdString();
    std::ifstream in(file, std::ios::binary);
    const std::string csv((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 2) << csv;
    EXPECT_NE(csv.find(",付款人,"), std::string::npos) << csv;
}

// ---------------------------------------------------------------------------------------------------------
// Unload and the console's entry point

TEST_F(BrowserTest, ClosingReleasesEveryRecordSet) {
    AddInvoice("20040105", "0000000001", 1, 1.0, 1);
    Datashow& b = Open();
    ASSERT_TRUE(b.SlotModel(Datashow::kSlotInvPrintData)->IsOpen());
    b.reject();
    for (int g = 1; g <= 8; ++g) EXPECT_EQ(dynamic_cast<RecordSetModel*>(b.DataGrid(g)->model()), nullptr) << g;
    for (int s = 0; s < Datashow::kSlotCount; ++s) {
        EXPECT_FALSE(b.SlotModel(s)->Records().IsOpen()) << s;
        EXPECT_EQ(b.SlotModel(s)->rowCount(), 0) << s;
    }
    // A query on a closed window does nothing.
    b.QueryInput(0)->setText("20040101");
    b.QueryInput(1)->setText("20040131");
    EXPECT_EQ(b.RunRangeQuery(Datashow::kQueryDayTrade), 0);
    EXPECT_EQ(b.SlotModel(Datashow::kSlotDayTrade)->rowCount(), 0);
}

TEST(BrowserEntry, ShowDataBrowserOpensModalOnTheModuleStore) {
    std::string pattern = (std::filesystem::temp_directory_path() / "karvex-browser-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    {
        StoreService store;
        ASSERT_EQ(store.Open(pattern, BuiltInStoreKey()), 0);
        RecordSet rs;
        ASSERT_EQ(rs.Open(store.Connection(), Selection::Of("MachineData")), 0);
        ASSERT_EQ(rs.AddNew(), 0);
        ASSERT_EQ(rs.SetText("机器编号", "M0042"), 0);
        ASSERT_EQ(rs.Update(), 0);

        bool seen = false;
        QString machine;
        int tab = -1;
        QTimer::singleShot(0, [&] {
            auto* shown = qobject_cast<Datashow*>(QApplication::activeModalWidget());
            if (!shown) {
                // Never leave the test waiting on a window it cannot see.
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (auto* d = qobject_cast<Datashow*>(w)) d->reject();
                return;
            }
            seen = shown->windowModality() == Qt::ApplicationModal;
            machine = shown->BoundLabel(6, "机器编号")->text();
            tab = shown->TabStrip()->currentIndex();
            shown->reject();
        });
        ShowDataBrowser(store, nullptr);
        EXPECT_TRUE(seen);
        EXPECT_EQ(machine, "M0042");
        EXPECT_EQ(tab, 0);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        store.Close();
    }
    std::error_code ec;
    std::filesystem::remove_all(pattern, ec);
}

}  // namespace
}  // namespace karvex::testing
