#include "log/log_viewer_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QResizeEvent>

#include <algorithm>

#include "log/command_log.h"
#include "log/log_viewer_model.h"

namespace karvex {

namespace {
constexpr int kInitialWidth = 420;
constexpr int kInitialHeight = 480;

// The viewer's list brings its newest line back into view whenever its size changes. The viewport's
// changes come here too, so a horizontal scroll bar that appears for a long line and takes a row's height
// from the bottom does not hide the newest line behind it either.
class NewestInViewList final : public QListView {
public:
    using QListView::QListView;

protected:
    void resizeEvent(QResizeEvent* event) override {
        QListView::resizeEvent(event);
        if (QAbstractItemModel* m = model(); m && m->rowCount() > 0) scrollTo(m->index(m->rowCount() - 1, 0));
    }
};
}  // namespace

LogViewerWindow::LogViewerWindow(CommandLog& log, QWidget* parent) : QWidget(parent, Qt::Window), log_(log) {
    setObjectName("CDLFrm");
    setWindowTitle("命令日志");

    list_ = new NewestInViewList(this);
    list_->setObjectName("List1");
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setUniformItemSizes(true);
    model_ = new LogViewerModel(log_.Viewer(), this);
    list_->setModel(model_);
    list_->viewport()->installEventFilter(this);

    // The list keeps its last line selected so that it stays in view.
    auto follow = [this] { SelectLast(); };
    connect(model_, &QAbstractItemModel::rowsInserted, this, follow);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, follow);
    connect(model_, &QAbstractItemModel::modelReset, this, follow);
    connect(model_, &QAbstractItemModel::dataChanged, this, follow);

    menu_ = new QMenu("清除", this);
    menu_->setObjectName("ClearMenu");
    clearAction_ = menu_->addAction("清除日志");
    clearAction_->setObjectName("ClearList");
    closeAction_ = menu_->addAction("关闭日志");
    closeAction_->setObjectName("CloseList");
    connect(clearAction_, &QAction::triggered, this, [this] {
        if (askClear_ && askClear_()) ClearList();
    });
    connect(closeAction_, &QAction::triggered, this, [this] { CloseList(); });

    resize(kInitialWidth, kInitialHeight);
    SelectLast();
}

void LogViewerWindow::SelectLast() {
    if (!model_) return;
    // The log keeps its last line selected; the change notices come before the log's own selection step,
    // so the last row is taken directly.
    const int row = model_->rowCount() - 1;
    if (row < 0) return;
    const QModelIndex index = model_->index(row);
    list_->setCurrentIndex(index);
    list_->scrollTo(index);
}

LogViewerWindow::~LogViewerWindow() {
    // The model detaches itself from the log's list; it must go while the list is still there.
    if (model_) {
        list_->setModel(nullptr);
        delete model_;
        model_ = nullptr;
    }
}

void LogViewerWindow::ClearList() { log_.ClearList(); }

void LogViewerWindow::CloseList() { close(); }

void LogViewerWindow::SetListHeight(int pixels) { list_->resize(list_->width(), std::max(0, pixels)); }

void LogViewerWindow::Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    list_->setModel(nullptr);
    delete model_;
    model_ = nullptr;
    // The list belongs to the window: with the window gone, the next write reads the file again.
    log_.CloseViewer();
    hide();
    Q_EMIT Closed();
    deleteLater();
}

bool LogViewerWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            menu_->popup(mouse->globalPosition().toPoint());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void LogViewerWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    SelectLast();
}

void LogViewerWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize s = event->size();
    list_->setGeometry(0, 0, std::max(0, s.width() - kListMarginRight), std::max(0, s.height() - kListMarginBelow));
}

void LogViewerWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    Unload();
}

}  // namespace karvex
