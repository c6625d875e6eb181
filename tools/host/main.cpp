// karvex-host: a small point-of-sale style window that carries the Fiscal control, for trying the control
// by hand: each button runs one method and the result appears in the list below.
#include <QApplication>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include "karvex/command_numbers.h"
#include "karvex/errors.h"
#include "karvex/fiscal.h"

namespace {

QString Line(const QString& method, int result, const QString& description, const QString& extra = {}) {
    QString text = method + QStringLiteral(" → ") + QString::number(result) + QStringLiteral("  ") + description;
    if (!extra.isEmpty()) text += QStringLiteral("  ") + extra;
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("收款机示例"));
    auto* layout = new QVBoxLayout(&window);
    auto* buttons = new QHBoxLayout;
    auto* fiscal = new karvex::Fiscal(&window);
    auto* results = new QListWidget(&window);
    layout->addLayout(buttons);
    layout->addWidget(results);
    layout->addWidget(fiscal);

    auto add = [&](const QString& caption, auto&& action) {
        auto* b = new QPushButton(caption, &window);
        buttons->addWidget(b);
        QObject::connect(b, &QPushButton::clicked, &window, [=] {
            results->addItem(action());
            results->scrollToBottom();
        });
    };
    add(QStringLiteral("加载"),
        [=] { return Line("LoadFiscalForm", fiscal->LoadFiscalForm(), fiscal->Description()); });
    add(QStringLiteral("联机"), [=] { return Line("FiscalOnline", fiscal->FiscalOnline(), fiscal->Description()); });
    add(QStringLiteral("当前发票号"), [=] {
        QString number;
        int r = fiscal->FiscalGetInvNum(number);
        return Line("FiscalGetInvNum", r, fiscal->Description(), number);
    });
    add(QStringLiteral("开票"), [=] {
        // Two goods lines: names 20 GBK bytes each, numbers 11 characters each, tax indexes one digit each.
        const QString names = QStringLiteral("矿泉水              笔记本              ");
        const QString amounts = QStringLiteral("2          1          ");
        const QString prices = QStringLiteral("1.50       12.80      ");
        const QString sums = QStringLiteral("3.00       12.80      ");
        try {
            int r = fiscal->FiscalMakeInv(KARVEX_COMMAND_ISSUE, 0, 0, QString(), QStringLiteral("示例商贸有限公司"), 2,
                                          names, amounts, prices, sums, QStringLiteral("12"));
            return Line("FiscalMakeInv", r, fiscal->Description());
        } catch (const karvex::ArgumentOverflow& e) {
            return QStringLiteral("FiscalMakeInv: ") + QString::fromUtf8(e.what());
        }
    });
    add(QStringLiteral("控制台"),
        [=] { return Line("ShowFiscalForm", fiscal->ShowFiscalForm(0, 0), fiscal->Description()); });
    add(QStringLiteral("安装发票"),
        [=] { return Line("FiscalInstallInv", fiscal->FiscalInstallInv(0, 0), fiscal->Description()); });
    add(QStringLiteral("卸载"),
        [=] { return Line("UnloadFicalForm", fiscal->UnloadFicalForm(0), fiscal->Description()); });

    window.resize(820, 360);
    window.show();
    // "--console": load the control and open the operator console at once (handy for a first look).
    if (app.arguments().contains(QStringLiteral("--console"))) {
        QMetaObject::invokeMethod(
            &window,
            [=] {
                results->addItem(Line("LoadFiscalForm", fiscal->LoadFiscalForm(), fiscal->Description()));
                results->addItem(Line("ShowFiscalForm", fiscal->ShowFiscalForm(0, 0), fiscal->Description()));
            },
            Qt::QueuedConnection);
    }
    return app.exec();
}
