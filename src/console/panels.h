#pragma once
// The console's thirteen command panels, one class each: the widgets, the focus rows of its fields and what
// its buttons do. The window creates them, shows one at a time and reaches them by these types.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "commands/catalogue.h"
#include "commands/decoders.h"
#include "console/panel.h"

class QCheckBox;
class QComboBox;
class QListWidget;

namespace karvex {

// "获取" "发票打印数据": a range of invoice numbers or of dates.
class PrintDataPanel final : public ConsolePanelFrame {
public:
    PrintDataPanel(PanelHost& host, QWidget* parent);
    void Opened() override;

private:
    void RangeKindClicked();
    void Send();
    std::vector<QWidget*> numberCaptions_, dateCaptions_;
};

// "日交易数据上传": a range of dates.
class DayTradePanel final : public ConsolePanelFrame {
public:
    DayTradePanel(PanelHost& host, QWidget* parent);
    void Opened() override;

private:
    void Send();
};

// "设置出厂数据": machine number, production date and the two versions.
class FactoryDataPanel final : public ConsolePanelFrame {
public:
    FactoryDataPanel(PanelHost& host, QWidget* parent);

private:
    void Send();
};

// "发送字符串": card power on or off, and typed bytes for the card.
class CardCommandsPanel final : public ConsolePanelFrame {
public:
    CardCommandsPanel(PanelHost& host, QWidget* parent);
    QComboBox* PowerList() const { return power_; }

private:
    void SendPower();
    void SendBytes();
    QComboBox* power_ = nullptr;
};

// One invoice number, for the roll summary or for voiding that invoice.
class SingleInvoicePanel final : public ConsolePanelFrame {
public:
    SingleInvoicePanel(PanelHost& host, QWidget* parent);
    // Sets the panel up for CommandCode::InvoiceSum or CommandCode::InvalidateInvoice.
    void OpenFor(CommandCode command);

private:
    void Send();
    CommandCode command_ = CommandCode::InvoiceSum;
};

// One cut-off date: declaration to card, declaration upload or invoice data upload.
class CutOffDatePanel final : public ConsolePanelFrame {
public:
    CutOffDatePanel(PanelHost& host, QWidget* parent);
    // Sets the panel up for `command`, under `title`.
    void OpenFor(CommandCode command, const QString& title);

private:
    void Send();
    CommandCode command_ = CommandCode::WriteCard;
};

// "数据签名": data to sign, typed in hexadecimal or decimal.
class SigningPanel final : public ConsolePanelFrame {
public:
    SigningPanel(PanelHost& host, QWidget* parent);
    void Opened() override;

private:
    void Send();
};

// "系统参数设置": the serial port and its speed (stored for the next start), the printer port and the sales
// settings.
class SerialSettingsPanel final : public ConsolePanelFrame {
public:
    SerialSettingsPanel(PanelHost& host, QWidget* parent);
    // The stored settings into the lists.
    void Opened() override;
    QComboBox* SerialPortList() const { return serialPort_; }
    QComboBox* BaudRateList() const { return baudRate_; }
    QComboBox* PrinterPortList() const { return printerPort_; }
    QCheckBox* PrintInvoiceCheck() const { return printInvoice_; }
    QCheckBox* CashDrawerCheck() const { return cashDrawer_; }

private:
    void Send();
    QComboBox* serialPort_ = nullptr;
    QComboBox* baudRate_ = nullptr;
    QComboBox* printerPort_ = nullptr;
    QCheckBox* printInvoice_ = nullptr;
    QCheckBox* cashDrawer_ = nullptr;
};

// "安装发票": the rolls the processor holds and not yet in use, one to install.
class RollInstallationPanel final : public ConsolePanelFrame {
public:
    RollInstallationPanel(PanelHost& host, QWidget* parent);
    QListWidget* RollList() const { return rolls_; }
    // Hides the panels, drops the unused rolls from the store and asks the processor for its rolls (caller
    // mode 5); the answer's completion then shows this panel with FillList. 0, or the store's or the send's
    // code.
    int QueryRolls();
    // The unused rolls from the store into the list, the first selected.
    void FillList();

private:
    void Send();
    QListWidget* rolls_ = nullptr;
};

// "核查数据写卡": the kind of check, then a range of invoice numbers or of dates.
class CheckCardPanel final : public ConsolePanelFrame {
public:
    CheckCardPanel(PanelHost& host, QWidget* parent);
    void Opened() override;

private:
    void KindClicked();
    void RangeKindClicked();
    void Send();
    std::vector<QWidget*> numberCaptions_, dateCaptions_;
};

// The program's name, version and release date.
class AboutPanel final : public ConsolePanelFrame {
public:
    AboutPanel(PanelHost& host, QWidget* parent);
};

// "税控器自检": the parts to test, each with the processor's verdict.
class SelfTestPanel final : public ConsolePanelFrame {
public:
    SelfTestPanel(PanelHost& host, QWidget* parent);
    // Every box cleared and "未选择".
    void Opened() override;
    QCheckBox* Check(SelfTestBox box) const;
    // The verdict beside a box: "未选择", "等待检查", then what the processor reported.
    QLabel* Verdict(SelfTestBox box) const;
    void ShowVerdict(SelfTestBox box, const std::string& text);

private:
    void Send();
    std::array<QCheckBox*, kSelfTestBoxCount> checks_{};
    std::array<QLabel*, kSelfTestBoxCount> verdicts_{};
};

// "清空数据库": the local tables to empty, each box with its state.
class StoreClearingPanel final : public ConsolePanelFrame {
public:
    // A box: its caption and the tables (StoreTableFlags) it stands for.
    struct ClearBox {
        const char* caption;
        std::uint32_t tables;
    };
    static constexpr std::size_t kBoxCount = 13;
    static const std::array<ClearBox, kBoxCount> kBoxes;
    // The captions of the boxes that stand for any of `tables`, joined by "、".
    static std::string Captions(std::uint32_t tables);

    StoreClearingPanel(PanelHost& host, QWidget* parent);
    // Every box cleared and "未选择".
    void Opened() override;
    // Boxes 0..12 (kBoxes); nullptr outside.
    QCheckBox* Check(std::size_t box) const;
    QCheckBox* AllCheck() const { return all_; }
    // The state beside a box: "未选择", "等待清空", "清空完成".
    QLabel* State(std::size_t box) const;
    // The flag set for the checked boxes.
    std::uint32_t Flags() const;

private:
    void Send();
    // The store tells the boxes' states as it empties each table.
    void FollowClearing();
    std::array<QCheckBox*, kBoxCount> checks_{};
    std::array<QLabel*, kBoxCount> states_{};
    QCheckBox* all_ = nullptr;
};

}  // namespace karvex
