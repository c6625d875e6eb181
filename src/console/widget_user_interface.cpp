#include "console/widget_user_interface.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace karvex {

QWidget* WidgetUserInterface::Parent() const {
    if (owner_ && owner_->isVisible()) return owner_;
    return QApplication::activeWindow();
}

void WidgetUserInterface::ShowMessage(const std::string& title, const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), QString::fromStdString(text),
                    QMessageBox::Ok, Parent());
    box.exec();
}

bool WidgetUserInterface::AskYesNo(const std::string& title, const std::string& text) {
    QMessageBox box(QMessageBox::Question, QString::fromStdString(title), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, Parent());
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> WidgetUserInterface::AskText(const std::string& title, const std::string& prompt,
                                                         const std::string& initial) {
    bool ok = false;
    const QString text = QInputDialog::getText(Parent(), QString::fromStdString(title), QString::fromStdString(prompt),
                                               QLineEdit::Normal, QString::fromStdString(initial), &ok);
    if (!ok) return std::nullopt;
    return text.toStdString();
}

}  // namespace karvex
