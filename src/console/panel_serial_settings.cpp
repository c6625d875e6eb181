#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "commands/caller_modes.h"
#include "console/panels.h"
#include "control/control_module.h"
#include "store/store_service.h"

namespace karvex {

SerialSettingsPanel::SerialSettingsPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::SerialSettings, host, {"系统参数设置"}, {}, parent) {
    auto* ports = new QGroupBox(QString::fromUtf8("端口设置"), this);
    auto* grid = new QGridLayout(ports);
    auto list = [&](const char* name, const char* caption, QStringList items, int row) {
        auto* c = new QComboBox(ports);
        c->setObjectName(name);
        c->addItems(items);
        c->setCurrentIndex(0);
        grid->addWidget(Caption(caption, ports), row, 0);
        grid->addWidget(c, row, 1);
        return c;
    };
    serialPort_ = list("Combo2_1", "串口", {"Com1", "Com2", "Com3", "Com4", "Com5"}, 0);
    baudRate_ = list("Combo2_2", "波特率", {"9600", "38400"}, 1);
    printerPort_ = list("Combo2_0", "打印口", {"LPT1", "LPT2"}, 2);
    Rows()->addWidget(ports);
    auto* sales = new QGroupBox(QString::fromUtf8("销售设置"), this);
    auto* h = new QHBoxLayout(sales);
    auto check = [&](const char* name, const char* caption) {
        auto* c = new QCheckBox(QString::fromUtf8(caption), sales);
        c->setObjectName(name);
        h->addWidget(c);
        return c;
    };
    printInvoice_ = check("Check1_0", "打印发票");
    cashDrawer_ = check("Check1_1", "开钱箱");
    Rows()->addWidget(sales);
    AddOkRow("CommandParaSet", [this] { Send(); });
}

void SerialSettingsPanel::Opened() {
    // Settings the store cannot give leave the lists as they were.
    int port = 0;
    int selector = 0;
    if (Host().Store().LoadSerialSettings(port, selector) != 0) return;
    serialPort_->setCurrentIndex(port - 1);
    baudRate_->setCurrentIndex(selector - 1);
}

void SerialSettingsPanel::Send() {
    const int port = serialPort_->currentIndex() + 1;
    const int selector = baudRate_->currentIndex() == 1 ? 2 : 1;
    // The operator set the port from the console: its failures are shown.
    const int r = Module().OpenComm(port, selector, kCallerConsole);
    Module().SetCommandResult(r);
    if (r != 0) {
        Module().Ui().ShowMessage("参数设置", "串口参数设置失败");
        return;
    }
    Host().Store().SaveSerialSettings(port, selector);
    Module().Ui().ShowMessage("参数设置", "系统参数设置成功");
    Host().ClosePanels();
}

}  // namespace karvex
