#include "console/widget_user_interface.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include <algorithm>

namespace karvex {

namespace {

// The width a window needs for its whole title: the title in the title bar's bold face plus the window icon
// and the three title bar buttons, each about as wide as the bar is high.
int TitleWidth(const QWidget& window) {
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    const int button = window.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &window);
    int width = QFontMetrics(font).horizontalAdvance(window.windowTitle()) + 4 * button;
    if (const QScreen* s = window.screen()) width = std::min(width, s->availableGeometry().width());
    return width;
}

// A message box sizes itself to its text and buttons when shown; a short text under a command name would
// leave the name cut or blank in the title bar.
class TitledMessageBox final : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        if (const int wanted = TitleWidth(*this); width() < wanted) setFixedWidth(wanted);
    }
};

}  // namespace

QWidget* WidgetUserInterface::Parent() const {
    if (owner_ && owner_->isVisible()) return owner_;
    return QApplication::activeWindow();
}

// The buttons speak the console's language whatever translations the host process has loaded.
void WidgetUserInterface::ShowMessage(const std::string& title, const std::string& text) {
    TitledMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), QString::fromStdString(text),
                         QMessageBox::Ok, Parent());
    box.button(QMessageBox::Ok)->setText(QString::fromUtf8(kOkCaption));
    box.exec();
}

namespace {
bool AskWithDefault(QWidget* parent, const std::string& title, const std::string& text,
                    QMessageBox::StandardButton byDefault, QMessageBox::Icon icon) {
    TitledMessageBox box(icon, QString::fromStdString(title), QString::fromStdString(text),
                         QMessageBox::Yes | QMessageBox::No, parent);
    box.button(QMessageBox::Yes)->setText(QString::fromUtf8(WidgetUserInterface::kYesCaption));
    box.button(QMessageBox::No)->setText(QString::fromUtf8(WidgetUserInterface::kNoCaption));
    box.setDefaultButton(byDefault);
    // Esc and the close box answer no whichever button is the default.
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}
}  // namespace

bool WidgetUserInterface::AskYesNo(const std::string& title, const std::string& text) {
    return AskWithDefault(Parent(), title, text, QMessageBox::Yes, QMessageBox::Question);
}

// The Enter that opened the question (a panel's OK, a menu key) must not also answer it.
bool WidgetUserInterface::AskToConfirm(const std::string& title, const std::string& text) {
    return AskWithDefault(Parent(), title, text, QMessageBox::No, QMessageBox::Warning);
}

std::optional<std::string> WidgetUserInterface::AskText(const std::string& title, const std::string& prompt,
                                                        const std::string& initial) {
    QInputDialog dialog(Parent());
    dialog.setWindowTitle(QString::fromStdString(title));
    dialog.setLabelText(QString::fromStdString(prompt));
    dialog.setTextValue(QString::fromStdString(initial));
    dialog.setOkButtonText(QString::fromUtf8(kOkCaption));
    dialog.setCancelButtonText(QString::fromUtf8(kCancelCaption));
    dialog.setMinimumWidth(std::max(dialog.minimumSizeHint().width(), TitleWidth(dialog)));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.textValue().toStdString();
}

}  // namespace karvex
