#include "log/log_viewer_model.h"

namespace karvex {

LogViewerModel::LogViewerModel(LogViewerList& list, QObject* parent)
    : QAbstractListModel(parent), list_(list), shownRows_(static_cast<int>(list.Size())) {
    list_.SetObserver([this](LogViewerList::Change c) { OnChange(c); });
}

LogViewerModel::~LogViewerModel() { list_.SetObserver({}); }

int LogViewerModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shownRows_; }

QVariant LogViewerModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= shownRows_) return {};
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    return QString::fromStdString(list_.At(static_cast<std::size_t>(index.row())));
}

void LogViewerModel::OnChange(LogViewerList::Change change) {
    const int size = static_cast<int>(list_.Size());
    switch (change) {
    case LogViewerList::Change::Appended:
        // The line is already in the list; announce the row that appeared at its end.
        beginInsertRows({}, shownRows_, size - 1);
        shownRows_ = size;
        endInsertRows();
        break;
    case LogViewerList::Change::RemovedFirst:
        beginRemoveRows({}, 0, 0);
        shownRows_ = size;
        endRemoveRows();
        break;
    case LogViewerList::Change::ReplacedLast:
        if (size > 0) Q_EMIT dataChanged(index(size - 1), index(size - 1));
        break;
    case LogViewerList::Change::Cleared:
    case LogViewerList::Change::Reloaded:
        beginResetModel();
        shownRows_ = size;
        endResetModel();
        break;
    }
}

}  // namespace karvex
