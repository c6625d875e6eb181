#pragma once
// The command log viewer's list as a Qt model, so that a list view shows the log's most recent lines and
// follows every change the writers make.
#include <QAbstractListModel>

#include "log/command_log.h"

namespace karvex {

class LogViewerModel : public QAbstractListModel {
    Q_OBJECT
public:
    // Observes `list`; the model must not outlive it.
    explicit LogViewerModel(LogViewerList& list, QObject* parent = nullptr);
    ~LogViewerModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // The row the list keeps selected (its last line), -1 when empty.
    int SelectedRow() const { return list_.Selected(); }

private:
    void OnChange(LogViewerList::Change change);

    LogViewerList& list_;
    int shownRows_ = 0;
};

}  // namespace karvex
