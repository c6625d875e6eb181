#pragma once
// The data browser `Datashow` ("数据显示"): a read-only window onto the store for the operator. One tab
// per kind of data (taxpayer and tax items, invoice print data, roll summaries, daily trade,
// declarations, machine data), detail grids that follow the selected row, totals, and range queries by
// date or invoice number. Its only writes go to its three display tables InvPDatTemp, DayTradeShow and
// DecShowTemp.
//
//   Datashow browser(store.Connection(), parent);   // fills every view at once
//   browser.QueryInput(0)->setText("20040101");
//   browser.QueryInput(1)->setText("20040131");
//   browser.RunRangeQuery(Datashow::kQueryDayTrade);  // 0, or the code of the first bad box
#include <QDialog>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "browser/record_set_model.h"

class QBoxLayout;
class QChartView;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableView;
class QVBoxLayout;
class QWidget;

namespace karvex {

class StoreService;
class StoreConnection;

// x rounded to cents: x × 100 to the nearest integer (a tie to the even neighbour), divided by 100;
// x unchanged when x × 100 is outside the 32-bit integer range.
double RoundToCents(double x);
// A total as the labels show it: decimal text without trailing zeros ("15.5", "3.25", "0").
QString DecimalText(double x);

// Checks one date box: exactly 8 characters (else 257), digits only (else 105, 144 when empty), then a
// valid year 2000-2500, month and day (256, 512, 1024 added up). 0 when the text can be queried.
std::int32_t CheckDateText(std::string_view text);

class Datashow : public QDialog {
    Q_OBJECT
public:
    static constexpr int kSlotCount = 11;
    // Record-set slots.
    static constexpr int kSlotUserInformation = 0;
    static constexpr int kSlotTaxInformation = 1;
    static constexpr int kSlotInvUseSum = 2;
    static constexpr int kSlotDayTrade = 3;
    static constexpr int kSlotDayTradeShow = 4;
    static constexpr int kSlotDeclareData = 5;
    static constexpr int kSlotDecShowTemp = 6;
    static constexpr int kSlotInvPrintData = 7;
    static constexpr int kSlotInvPDatTemp = 8;
    static constexpr int kSlotMachineData = 10;
    // The four range queries.
    static constexpr int kQueryInvPrintData = 1;
    static constexpr int kQueryInvUseSum = 2;
    static constexpr int kQueryDayTrade = 3;
    static constexpr int kQueryDeclareData = 4;
    // Tabs, 1-based as the operator counts them.
    static constexpr int kTabCount = 6;

    // Fills the six views from the store behind `conn` (a null or closed connection leaves them empty)
    // and shows tab 1.
    explicit Datashow(std::shared_ptr<StoreConnection> conn, QWidget* parent = nullptr);
    ~Datashow() override;

    // Runs query 1-4 on the two boxes of the chosen range kind. 0 when the record set was reopened on the
    // range (store failures leave it as it was and count as done); otherwise the code of the first box
    // that failed its check: that box and any other failed one are emptied, a failed begin box takes the
    // focus, and nothing is queried.
    std::int32_t RunRangeQuery(int query);

    // ----- what the window shows (for the console and for tests)
    QTabWidget* TabStrip() const { return tabs_; }
    // The frame of tab 1-6.
    QWidget* Frame(int tab) const;
    // DataGrid1 .. DataGrid8; nullptr for other numbers.
    QTableView* DataGrid(int n) const;
    RecordSetModel* SlotModel(int slot) const;
    // Text1 element 0-11.
    QLineEdit* QueryInput(int element) const;
    QPushButton* QueryButton(int query) const;
    // "导出": writes the rows a query's grid shows (its whole selection, not only what is on screen) to a
    // CSV file, as `karvex dump --format csv` writes it. 0, or 156 (kExportFileFailed) when the file cannot
    // be written whole, or the store's code; the query's message line says what happened.
    QPushButton* ExportButton(int query) const;
    std::int32_t ExportShownRows(int query, const QString& path);
    // The day-trade chart (tab 4) and the roll chart (tab 3); they follow their grid's range query.
    QChartView* DayTradeChart() const { return dayTradeChart_; }
    QChartView* RollChart() const { return rollChart_; }
    // Option1 (query 1) and Option2 (query 2), element 0 dates, 1 invoice numbers.
    QRadioButton* RangeOption(int query, int element) const;
    // The text a query's last run left for the operator: "" after a successful run, else the code's text.
    QString QueryMessage(int query) const;
    // The value label bound to a field on a tab; nullptr when the tab shows no such label.
    QLabel* BoundLabel(int tab, std::string_view field) const;
    // The value label beside a total's caption ("开票总累", "退票总累", "当天正常累计", "当天退票累计",
    // "正常全部累计", "退票全部累计"); nullptr for another caption.
    QLabel* TotalLabel(std::string_view caption) const;
    // The current row of a slot's record set, -1 when it has none.
    int CurrentRow(int slot) const;
    // Makes a row of a slot's grid current, as the operator's click would.
    void SelectRow(int slot, int row);
    bool ViewFlag(int slot) const;
    // The "共 N 条记录" line under DataGrid n.
    QLabel* RowCountLabel(int n) const {
        return (n >= 1 && n <= 8) ? rowCounts_[static_cast<std::size_t>(n)] : nullptr;
    }
    // What 导出 does: brings the grid to the range the query box shows (when it shows one), asks for the
    // file in the user's documents folder and writes it.
    void ChooseExportFile(int query);

protected:
    void done(int r) override;

private:
    struct Bound {
        int tab;
        std::string field;
        QLabel* value;
    };
    struct RangeQuery {
        const char* table;
        int slot;
        const char* dateField;
        int dateBegin, dateEnd;
        const char* numberField;  // nullptr: dates only
        int numberBegin, numberEnd;
    };
    static const RangeQuery kQueries[5];

    void BuildWindow();
    QWidget* BuildFrame(int tab);
    QLabel* AddBoundLabel(QFormLayout* form, int tab, const std::string& field);
    QLabel* AddTotal(QFormLayout* form, const char* caption);
    QTableView* AddGrid(QWidget* frame, QBoxLayout* layout, int number, int slot);
    // The current row's labels with totals under them, beside the grid of its slot rows.
    void AddDetail(QWidget* frame, QBoxLayout* layout, QWidget* labels,
                   std::initializer_list<const char*> totalCaptions, int gridNumber, int slot);
    QWidget* AddQueryBox(int query);
    void ChooseRangeKind(int query, bool numbers);
    void OnTextChanged(int element);

    void LoadViews();
    void OpenSlot(int slot, const char* table);
    void ShowFirstRow(int slot);
    void OnRowChanged(int slot, int row);
    void FillBoundLabels(int tab, const RecordSetModel& model, int row);
    void RefillDetail(int slot, int row);
    void WriteDisplayTable(int slot, const std::vector<std::vector<std::pair<std::string, FieldValue>>>& rows);
    void ComputeInvoiceTotals();
    void ComputeAllDaysTotals();
    void RefreshChart(int query);
    bool QueryBoxIsEmpty(int query) const;
    void ReleaseAll();

    std::shared_ptr<StoreConnection> conn_;
    std::array<RecordSetModel*, kSlotCount> models_{};
    std::array<QTableView*, 9> grids_{};  // index = DataGrid number
    std::array<QLabel*, 9> rowCounts_{};
    std::array<QTableView*, kSlotCount> slotGrids_{};
    std::array<QLineEdit*, 12> text1_{};
    std::array<QLabel*, 12> text1Captions_{};
    std::array<QPushButton*, 5> buttons_{};
    std::array<QPushButton*, 5> exportButtons_{};
    QChartView* dayTradeChart_ = nullptr;
    QChartView* rollChart_ = nullptr;
    std::array<QRadioButton*, 4> options_{};  // Option1(0), Option1(1), Option2(0), Option2(1)
    std::array<QLabel*, 5> queryMessages_{};
    std::array<QWidget*, kTabCount> frames_{};
    std::array<int, kSlotCount> currentRows_{};
    std::vector<Bound> bound_;
    std::vector<std::pair<std::string, QLabel*>> totals_;
    QTabWidget* tabs_ = nullptr;
    bool flagInvPrintData_ = false;
    bool flagDayTrade_ = false;
    bool flagDeclareData_ = false;
    bool busy_ = false;
    bool released_ = false;
};

// Opens the browser modal over `parent` on the store (empty views when it is not open) and returns when
// the operator closes it. Each opening reads the store afresh.
void ShowDataBrowser(StoreService& store, QWidget* parent);
// Loads Qt's own Chinese texts (file dialogues and the like) once per process.
void InstallQtChinese();

}  // namespace karvex
