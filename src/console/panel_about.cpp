#include <QLineEdit>
#include <QPushButton>
#include <QLabel>
#include <QVBoxLayout>

#include "console/panels.h"

#ifndef KARVEX_VERSION_TEXT
#define KARVEX_VERSION_TEXT "0"
#endif

namespace karvex {

namespace {
constexpr const char* kReleaseDate = "2024-06-01";
}  // namespace

AboutPanel::AboutPanel(PanelHost& host, QWidget* parent)
    : ConsolePanelFrame(ConsolePanel::About, host, {kConsoleCaption}, {}, parent) {
    auto* version = new QLabel(QString::fromUtf8("软件版本：") + QString::fromUtf8(KARVEX_VERSION_TEXT), this);
    version->setObjectName("AboutVersion");
    auto* date = new QLabel(QString::fromUtf8("发布日期：") + QString::fromUtf8(kReleaseDate), this);
    date->setObjectName("AboutDate");
    Rows()->addWidget(version);
    Rows()->addWidget(date);
}

}  // namespace karvex
