#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QGridLayout>
#include <QVBoxLayout>

#include "console/panels.h"

namespace karvex {

namespace {
using F = ConsoleField;
constexpr ConsoleDateFields kProduction{F::ProductionYear, F::ProductionMonth, F::ProductionDay};

// clang-format off
constexpr FieldRow kRows[] = {
    {F::MachineNumber,   "Text3_23", 16, To(F::ProductionYear),  To(F::ProductionYear)},
    {F::ProductionYear,  "Text3_17", 4,  To(F::ProductionMonth), To(F::ProductionMonth)},
    {F::ProductionMonth, "Text3_18", 2,  To(F::ProductionDay),   To(F::ProductionDay)},
    {F::ProductionDay,   "Text3_19", 2,  To(F::HardwareVersion), To(F::HardwareVersion)},
    {F::HardwareVersion, "Text3_24", 18, To(F::SoftwareVersion), To(F::SoftwareVersion)},
    {F::SoftwareVersion, "Text3_25", 18, Press("CommandSetMD"),  Press("CommandSetMD")},
};
// clang-format on
}  // namespace

FactoryDataPanel::FactoryDataPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::FactoryData, host, {"设置出厂数据"}, kRows, parent) {
    auto* grid = new QGridLayout;
    AddFieldRow(grid, 0, "机器编号", F::MachineNumber, this);
    AddDateRow(grid, 1, "生产日期", kProduction, this);
    AddFieldRow(grid, 2, "硬件版本号", F::HardwareVersion, this);
    AddFieldRow(grid, 3, "软件版本号", F::SoftwareVersion, this);
    Rows()->addLayout(grid);
    AddOkRow("CommandSetMD", [this] { Send(); });
}

void FactoryDataPanel::Send() {
    const IssueResult r = IssueFactoryData(Context(), FieldText(F::MachineNumber), ReadDate(kProduction),
                                           FieldText(F::HardwareVersion), FieldText(F::SoftwareVersion));
    auto fields = DateInputs(kProduction);
    fields[InputField::MachineNumber] = F::MachineNumber;
    ApplyResult(r, fields);
}

}  // namespace karvex
