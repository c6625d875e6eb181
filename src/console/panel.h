#pragma once
// A command panel of the console: a frame with its title, the fields, option buttons and buttons it owns, the
// focus order of its fields, and what its buttons do. The window shows at most one panel at a time and lends
// each panel the module, the store and the status bar through PanelHost.
//
// The panels only gather what the operator typed; the issuers of the command catalogue check it, send the
// request and name the fields to empty.
#include <QGroupBox>
#include <QString>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "commands/issuers.h"

class QButtonGroup;
class QGridLayout;
class QKeySequence;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QVBoxLayout;

namespace karvex {

class ControlModule;
class StoreService;

// The command panels, at most one on show.
enum class ConsolePanel : int {
    None = -1,
    PrintData,         // "获取" "发票打印数据": by invoice numbers or by dates
    DayTrade,          // "日交易数据上传"
    FactoryData,       // "设置出厂数据"
    CardCommands,      // "发送字符串": card power and typed bytes
    SingleInvoice,     // one invoice number: roll summary or invalidation
    CutOffDate,        // one cut-off date: declaration to card, declaration or invoice data upload
    Signing,           // "数据签名"
    SerialSettings,    // "系统参数设置"
    RollInstallation,  // "安装发票"
    CheckCard,         // "核查数据写卡"
    About,
    SelfTest,       // "税控器自检"
    StoreClearing,  // "清空数据库"
};

// The typed inputs, by the panel they sit on and what they hold.
// clang-format off
enum class ConsoleField : std::uint8_t {
    PrintStartNumber, PrintEndNumber,
    PrintStartYear, PrintStartMonth, PrintStartDay,
    PrintEndYear, PrintEndMonth, PrintEndDay,
    InvoiceNumber,
    DayTradeStartYear, DayTradeStartMonth, DayTradeStartDay,
    DayTradeEndYear, DayTradeEndMonth, DayTradeEndDay,
    ProductionYear, ProductionMonth, ProductionDay,
    CutOffYear, CutOffMonth, CutOffDay,
    MachineNumber, HardwareVersion, SoftwareVersion,
    CheckStartNumber, CheckEndNumber,
    SigningData,
    CardBytes,
    CheckStartYear, CheckStartMonth, CheckStartDay,
    CheckEndYear, CheckEndMonth, CheckEndDay,
};
// clang-format on

// A date typed in three fields.
struct ConsoleDateFields {
    ConsoleField year, month, day;
};

// The option buttons, by the choice they stand for.
// clang-format off
enum class ConsoleChoice : std::uint8_t {
    PrintByNumber, PrintByDates,
    CardDecimal, CardHexadecimal,
    SigningHexadecimal, SigningDecimal,
    CheckDetail, CheckDeclaration, CheckDayTrade,
    CheckByNumber, CheckByDates,
};
// clang-format on

// The console's name, in its title bar, its status bar and its about panel.
inline constexpr const char* kConsoleCaption = "税控器通讯软件";

// What a panel asks of the window it sits in.
class PanelHost {
public:
    virtual ControlModule& Module() = 0;
    virtual StoreService& Store() = 0;
    // Says in the status bar why a command was not sent (nothing for a send or an operator's cancel).
    virtual void ShowIssueOutcome(const IssueResult& r) = 0;
    // Puts a text in the status bar's caption part.
    virtual void ShowCaptionStatus(const QString& text) = 0;
    // Hides every panel.
    virtual void ClosePanels() = 0;
    // True when the keys run a menu entry that is shown and enabled: such a key wins over a field.
    virtual bool IsMenuShortcut(const QKeySequence& keys) const = 0;
    // The pop-up of the panel frames.
    virtual void PopUpPanelMenu(const QPoint& globalPos) = 0;

protected:
    ~PanelHost() = default;
};

// Where the focus goes from a field: another field, a panel button, or nowhere.
struct FocusTarget {
    std::optional<ConsoleField> field;
    const char* button = nullptr;
};
constexpr FocusTarget To(ConsoleField f) { return {f, nullptr}; }
constexpr FocusTarget Press(const char* button) { return {std::nullopt, button}; }

// The focus order of a panel's fields: once a field holds `fillLength` GBK bytes the focus moves to
// `whenFull` (0: a field without auto-advance), and Enter in it goes to `onEnter`. `name` is the field's
// object name (Text3_<n>): scripts and tests that drive the console find the field by it, so it stays fixed
// whatever the field is called in the code.
struct FieldRow {
    ConsoleField field;
    const char* name;
    std::size_t fillLength;
    FocusTarget whenFull;
    FocusTarget onEnter;
};

class ConsolePanelFrame : public QGroupBox {
public:
    // The panel's frame with its title parts; `rows` holds the focus order of every field the panel adds.
    ConsolePanelFrame(ConsolePanel id, PanelHost& host, std::initializer_list<const char*> titles,
                      std::span<const FieldRow> rows, QWidget* parent);

    ConsolePanel Id() const { return id_; }
    // Sets the panel up as its menu entry opens it (choices back to their defaults, the first field
    // focused). The window shows it first.
    virtual void Opened() {}
    // Hides the panel; it gives up the focus and an Enter half pressed in it. A hidden field left with the
    // focus would get it back when the window is next activated, and Enter there would send this panel's
    // command from another panel.
    void Withdraw();

    // Title parts (part 0 and, for the print-data and single-invoice panels, part 1); nullptr outside.
    QLabel* Title(int part) const;
    // The panel's own controls; nullptr for one that sits on another panel.
    QLineEdit* Field(ConsoleField field) const;
    QRadioButton* Choice(ConsoleChoice choice) const;
    QPushButton* Button(const QString& name) const;
    const std::map<QString, QPushButton*>& Buttons() const { return buttons_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

    PanelHost& Host() { return host_; }
    ControlModule& Module() { return host_.Module(); }
    IssueContext Context();
    QVBoxLayout* Rows() const;

    // Building the rows.
    QLineEdit* AddField(ConsoleField field, QWidget* owner);
    QPushButton* AddButton(const char* name, const char* caption, QWidget* owner, std::function<void()> onClick);
    QRadioButton* AddChoice(ConsoleChoice choice, const char* caption, QWidget* owner, QButtonGroup* group);
    static QLabel* Caption(const char* text, QWidget* owner, std::vector<QWidget*>* group = nullptr);
    void AddFieldRow(QGridLayout* grid, int row, const char* caption, ConsoleField field, QWidget* owner,
                     std::vector<QWidget*>* captions = nullptr);
    // Caption, then year "年" month "月" day "日".
    void AddDateRow(QGridLayout* grid, int row, const char* caption, const ConsoleDateFields& date, QWidget* owner,
                    std::vector<QWidget*>* captions = nullptr);
    void AddOkRow(const char* name, std::function<void()> onClick, const char* caption = "确定");

    // Reading and answering.
    void FocusField(ConsoleField field);
    std::string FieldText(ConsoleField field) const;
    DateInput ReadDate(const ConsoleDateFields& date) const;
    // Empties (and focuses) the fields a refused input names, and says why in the status bar. `fields` maps
    // the issuer's InputField bits to this panel's fields.
    void ApplyResult(const IssueResult& r, const std::map<InputField, ConsoleField>& fields);
    // The issuers' names for the fields of a date group, and of a number range with its two dates.
    static std::map<InputField, ConsoleField> DateInputs(const ConsoleDateFields& start);
    static std::map<InputField, ConsoleField> DateRangeInputs(const ConsoleDateFields& start,
                                                              const ConsoleDateFields& end);
    static std::map<InputField, ConsoleField> RangeInputs(ConsoleField startNumber, ConsoleField endNumber,
                                                          const ConsoleDateFields& start, const ConsoleDateFields& end);
    // Enables either the number half or the date half of a range panel, and focuses the first field of it.
    struct RangeHalves {
        ConsoleField startNumber, endNumber;
        ConsoleDateFields start, end;
        const std::vector<QWidget*>& numberCaptions;
        const std::vector<QWidget*>& dateCaptions;
    };
    void EnableRangeHalf(bool byNumber, const RangeHalves& halves);

private:
    const FieldRow& RowOf(ConsoleField field) const;
    void FocusButton(const char* name);
    void OnFieldEdited(ConsoleField field);
    void OnFieldEnter(ConsoleField field);

    const ConsolePanel id_;
    PanelHost& host_;
    const std::span<const FieldRow> rows_;
    std::vector<QLabel*> titles_;
    std::map<ConsoleField, QLineEdit*> fields_;
    std::map<ConsoleChoice, QRadioButton*> choices_;
    std::map<QString, QPushButton*> buttons_;
    // The field or button in which Enter went down, nullptr for none.
    QObject* enterDownIn_ = nullptr;
};

}  // namespace karvex
