#include "console/widget_user_interface.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace karvex {

QWidget* WidgetUserInterface::Parent() const {
    if (owner_ && owner_->isVisible()) return owner_;
    return QApplication::activeWindow();
}

// The buttons speak the console's language whatever translations the host process has loaded.
void WidgetUserInterface::ShowMessage(const std::string& title, const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), QString::fromStdString(text),
                    QMessageBox::Ok, Parent());
    box.button(QMessageBox::Ok)->setText(QString::fromUtf8(kOkCaption));
    box.exec();
}

bool WidgetUserInterface::AskYesNo(const std::string& title, const std::string& text) {
    QMessageBox box(QMessageBox::Question, QString::fromStdString(title), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, Parent());
    box.button(QMessageBox::Yes)->setText(QString::fromUtf8(kYesCaption));
    box.button(QMessageBox::No)->setText(QString::fromUtf8(kNoCaption));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> WidgetUserInterface::AskText(const std::string& title, const std::string& prompt,
                                                         const std::string& initial) {
    QInputDialog dialog(Parent());
    dialog.setWindowTitle(QString::fromStdString(title));
    dialog.setLabelText(QString::fromStdString(prompt));
    dialog.setTextValue(QString::fromStdString(initial));
    dialog.setOkButtonText(QString::fromUtf8(kOkCaption));
    dialog.setCancelButtonText(QString::fromUtf8(kCancelCaption));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.textValue().toStdString();
}

}  // namespace karvex
