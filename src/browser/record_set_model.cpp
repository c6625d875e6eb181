#include "browser/record_set_model.h"

#include <cmath>
#include <type_traits>

namespace karvex {

QString FieldDisplayText(const FieldValue& value) {
    return std::visit(
        [](const auto& v) -> QString {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::int64_t>) {
                return QString::number(v);
            } else if constexpr (std::is_same_v<V, double>) {
                if (!std::isfinite(v)) return QString::number(v);
                // Fifteen significant digits: what a double holds reliably, with no trailing zeros.
                return QString::number(v, 'g', 15);
            } else if constexpr (std::is_same_v<V, std::string>) {
                return QString::fromStdString(v);
            } else {
                return QString();
            }
        },
        value);
}

RecordSetModel::RecordSetModel(QObject* parent) : QAbstractTableModel(parent) {}

std::int32_t RecordSetModel::Open(std::shared_ptr<StoreConnection> conn, const Selection& selection) {
    // Opened aside first, so that a failing query leaves what is shown untouched.
    RecordSet fresh;
    std::int32_t rc = fresh.Open(std::move(conn), selection);
    if (rc != 0) return rc;
    beginResetModel();
    records_ = std::move(fresh);
    table_ = records_.Table();
    Snapshot();
    endResetModel();
    return 0;
}

std::int32_t RecordSetModel::Requery() {
    if (!records_.IsOpen()) return records_.Requery();
    std::int32_t rc = records_.Requery();
    beginResetModel();
    Snapshot();
    endResetModel();
    return rc;
}

void RecordSetModel::Close() {
    beginResetModel();
    records_.Close();
    rows_.clear();
    endResetModel();
}

void RecordSetModel::Snapshot() {
    rows_.clear();
    if (!table_ || !records_.IsOpen()) return;
    if (records_.MoveFirst() != 0) return;
    while (!records_.Eof()) {
        std::vector<FieldValue> row(table_->fields.size());
        for (std::size_t i = 0; i < row.size(); ++i) records_.Get(table_->fields[i].name, row[i]);
        rows_.push_back(std::move(row));
        if (records_.MoveNext() != 0) break;
    }
    records_.MoveFirst();
}

FieldValue RecordSetModel::Value(int row, std::string_view field) const {
    if (!table_ || row < 0 || row >= RowCount()) return {};
    int col = table_->FieldIndex(field);
    if (col < 0) return {};
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
}

double RecordSetModel::Number(int row, std::string_view field) const {
    FieldValue v = Value(row, field);
    if (const auto* d = std::get_if<double>(&v)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    return 0.0;
}

int RecordSetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : RowCount();
}

int RecordSetModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid() || !table_) return 0;
    return static_cast<int>(table_->fields.size());
}

QVariant RecordSetModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= RowCount() || index.column() >= columnCount())
        return {};
    return FieldDisplayText(rows_[static_cast<std::size_t>(index.row())][static_cast<std::size_t>(index.column())]);
}

QVariant RecordSetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Vertical) return section + 1;
    if (!table_ || section < 0 || section >= columnCount()) return {};
    return QString::fromStdString(table_->fields[static_cast<std::size_t>(section)].name);
}

}  // namespace karvex
