#pragma once
// A read-only table model over one record set of the store. The record set is a static snapshot,
// so the model copies its rows once per (re)load and serves the grid from that copy; the grid's
// current row is the browser's current row of that record set.
#include <QAbstractTableModel>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/record_set.h"

namespace karvex {

// A stored value as the operator reads it: text as it is, whole numbers in decimal, other numbers
// as decimal text without trailing zeros ("15.5"), null and bytes as "".
QString FieldDisplayText(const FieldValue& value);

class RecordSetModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit RecordSetModel(QObject* parent = nullptr);

    // Opens the record set on the selection. A failure (no connection, store error) leaves the
    // model's record set and rows as they were and returns the store code.
    std::int32_t Open(std::shared_ptr<StoreConnection> conn, const Selection& selection);
    // Reads the record set again (after the browser rewrote a display table).
    std::int32_t Requery();
    // Closes the record set and forgets every row.
    void Close();

    RecordSet& Records() { return records_; }
    const TableDef* Table() const { return table_; }
    int RowCount() const { return static_cast<int>(rows_.size()); }
    // The value of a field in a row; null for an unknown field or row.
    FieldValue Value(int row, std::string_view field) const;
    double Number(int row, std::string_view field) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    void Snapshot();

    RecordSet records_;
    const TableDef* table_ = nullptr;
    std::vector<std::vector<FieldValue>> rows_;
};

}  // namespace karvex
