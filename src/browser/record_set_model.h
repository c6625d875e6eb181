#pragma once
// A read-only table model over one selection of the store that reads its rows on demand: the row count
// comes from the store, and rows are fetched in windows around what the grid shows, a bounded number of
// windows held at a time. Opening a million-row table, a range query over it or a jump to its last row
// reads a count and one window, and memory stays the same whatever the table's size.
#include <QAbstractTableModel>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/record_set.h"
#include "store/row_reader.h"

namespace karvex {

// A stored value as the operator reads it: text as it is, whole numbers in decimal, other numbers
// as decimal text without trailing zeros ("15.5"), null and bytes as "".
QString FieldDisplayText(const FieldValue& value);

// A stored value of a field as the browser shows it: amounts ("…金额…") with two decimals, codes with their
// meaning beside them ("1 正常"), the card password masked; anything else as FieldDisplayText. Only what is
// shown changes, never what is stored.
QString FieldShownText(std::string_view field, const FieldValue& value);
// Amounts are shown right-aligned, with two decimals.
bool IsAmountField(std::string_view field);
// An amount as the browser shows it: "1268.20".
QString AmountText(double x);

class RecordSetModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Rows read at a time, and windows held at most.
    static constexpr int kWindowRows = 128;
    static constexpr std::size_t kWindowsHeld = 16;

    explicit RecordSetModel(QObject* parent = nullptr);

    // Opens on the selection. A failure (no connection, store error) leaves the model's selection and
    // rows as they were and returns the store code.
    std::int32_t Open(std::shared_ptr<StoreConnection> conn, const Selection& selection);
    // Counts again and forgets the rows read (after the browser rewrote a display table).
    std::int32_t Requery();
    // Forgets the selection and every row.
    void Close();
    bool IsOpen() const { return reader_.IsOpen(); }

    // A record set on the same selection, opened on first use: for the browser's small display tables,
    // which it writes. Never used for the large tables, whose rows it would all read.
    RecordSet& Records();
    // The reader of the selection shown: for totals, charts and the export.
    RowReader& Reader() { return reader_; }
    const TableDef* Table() const { return reader_.Table(); }
    int RowCount() const { return count_; }
    // The value of a field in a row; null for an unknown field or row.
    FieldValue Value(int row, std::string_view field) const;
    double Number(int row, std::string_view field) const;
    // Rows held in memory now (at most kWindowRows × kWindowsHeld).
    std::size_t RowsHeld() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const std::vector<FieldValue>* RowValues(int row) const;
    void Forget();

    mutable RowReader reader_;
    std::shared_ptr<StoreConnection> conn_;
    RecordSet records_;
    int count_ = 0;
    // Windows by number (row / kWindowRows), the most recently used first in `recent_`.
    mutable std::map<std::int64_t, std::vector<StoredRow>> windows_;
    mutable std::list<std::int64_t> recent_;
};

}  // namespace karvex
