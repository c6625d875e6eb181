#include "browser/record_set_model.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
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

namespace {

// What the codes of the coded fields stand for; a code without a row here is shown with "未知" beside it.
struct CodeMeaning {
    const char* field;
    std::int64_t code;
    const char* meaning;
};
// clang-format off
constexpr CodeMeaning kCodeMeanings[] = {
    {"开票类型", 1, "正常"}, {"开票类型", 2, "退票"}, {"开票类型", 3, "废票"},
};
// clang-format on
// The processor reports 申报方式 as a bare number whose values nobody has named yet: it is still marked as a
// code, so that it never reads as a count or an amount.
constexpr const char* kCodedFields[] = {"开票类型", "申报方式"};
// Shown in place of the card password, whatever its length: the length would be a hint too.
constexpr const char* kPasswordField = "税控卡使用口令";
constexpr const char* kMaskedPassword = "******";

std::optional<std::int64_t> WholeNumber(const FieldValue& value) {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
    if (const auto* d = std::get_if<double>(&value); d && std::isfinite(*d) && *d == std::floor(*d))
        return static_cast<std::int64_t>(*d);
    return std::nullopt;
}

}  // namespace

bool IsAmountField(std::string_view field) { return field.find("金额") != std::string_view::npos; }

QString AmountText(double x) {
    // To the cent with a tie to the even cent, as the totals are rounded, so that a grid and its total agree.
    const double scaled = x * 100.0;
    if (std::isfinite(scaled) && std::fabs(scaled) < 9.0e15) x = std::nearbyint(scaled) / 100.0;
    return QString::number(x, 'f', 2);
}

QString FieldShownText(std::string_view field, const FieldValue& value) {
    if (field == kPasswordField) return FieldDisplayText(value).isEmpty() ? QString() : QString(kMaskedPassword);
    if (IsAmountField(field)) {
        if (const auto* d = std::get_if<double>(&value); d && std::isfinite(*d)) return AmountText(*d);
        if (const auto* i = std::get_if<std::int64_t>(&value)) return AmountText(static_cast<double>(*i));
    }
    for (const char* coded : kCodedFields) {
        if (field != coded) continue;
        const std::optional<std::int64_t> code = WholeNumber(value);
        if (!code) break;
        for (const CodeMeaning& m : kCodeMeanings) {
            if (field == m.field && *code == m.code)
                return QString("%1 %2").arg(*code).arg(QString::fromUtf8(m.meaning));
        }
        return QString("%1（未知）").arg(*code);
    }
    return FieldDisplayText(value);
}

RecordSetModel::RecordSetModel(QObject* parent) : QAbstractTableModel(parent) {}

void RecordSetModel::Forget() {
    windows_.clear();
    recent_.clear();
    records_.Close();
}

std::int32_t RecordSetModel::Open(std::shared_ptr<StoreConnection> conn, const Selection& selection) {
    // Opened aside first, so that a failing query leaves what is shown untouched.
    RowReader fresh;
    std::int32_t rc = fresh.Open(conn, selection);
    std::int64_t count = 0;
    if (rc == 0) rc = fresh.Count(count);
    if (rc != 0) return rc;
    beginResetModel();
    reader_ = std::move(fresh);
    conn_ = std::move(conn);
    // A grid counts its rows in int; a store with more rows shows the first INT_MAX.
    count_ = static_cast<int>(std::min<std::int64_t>(count, INT_MAX));
    Forget();
    endResetModel();
    return 0;
}

std::int32_t RecordSetModel::Requery() {
    if (!reader_.IsOpen()) return Open(conn_, Selection{});
    return Open(conn_, reader_.Of());
}

void RecordSetModel::Close() {
    beginResetModel();
    reader_.Close();
    conn_.reset();
    count_ = 0;
    Forget();
    endResetModel();
}

RecordSet& RecordSetModel::Records() {
    if (!records_.IsOpen() && reader_.IsOpen()) records_.Open(conn_, reader_.Of());
    return records_;
}

const std::vector<FieldValue>* RecordSetModel::RowValues(int row) const {
    if (row < 0 || row >= count_) return nullptr;
    const std::int64_t number = row / kWindowRows;
    auto it = windows_.find(number);
    if (it == windows_.end()) {
        std::vector<StoredRow> rows;
        if (reader_.ReadWindow(number * kWindowRows, kWindowRows, rows) != 0) return nullptr;
        if (windows_.size() >= kWindowsHeld) {
            windows_.erase(recent_.back());
            recent_.pop_back();
        }
        it = windows_.emplace(number, std::move(rows)).first;
        recent_.push_front(number);
    } else if (recent_.front() != number) {
        recent_.remove(number);
        recent_.push_front(number);
    }
    const std::size_t at = static_cast<std::size_t>(row % kWindowRows);
    return at < it->second.size() ? &it->second[at].values : nullptr;
}

std::size_t RecordSetModel::RowsHeld() const {
    std::size_t n = 0;
    for (const auto& [number, rows] : windows_) n += rows.size();
    return n;
}

FieldValue RecordSetModel::Value(int row, std::string_view field) const {
    const TableDef* table = Table();
    if (!table) return {};
    const int col = table->FieldIndex(field);
    const std::vector<FieldValue>* values = col < 0 ? nullptr : RowValues(row);
    return values ? (*values)[static_cast<std::size_t>(col)] : FieldValue{};
}

double RecordSetModel::Number(int row, std::string_view field) const {
    FieldValue v = Value(row, field);
    if (const auto* d = std::get_if<double>(&v)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    return 0.0;
}

int RecordSetModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : RowCount(); }

int RecordSetModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid() || !Table()) return 0;
    return static_cast<int>(Table()->fields.size());
}

QVariant RecordSetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.column() >= columnCount()) return {};
    const std::string& field = Table()->fields[static_cast<std::size_t>(index.column())].name;
    if (role == Qt::TextAlignmentRole) {
        // Amounts line up on their decimal point.
        if (IsAmountField(field)) return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
        return {};
    }
    if (role != Qt::DisplayRole) return {};
    const std::vector<FieldValue>* values = RowValues(index.row());
    if (!values) return {};
    return FieldShownText(field, (*values)[static_cast<std::size_t>(index.column())]);
}

QVariant RecordSetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Vertical) return section + 1;
    if (!Table() || section < 0 || section >= columnCount()) return {};
    return QString::fromStdString(Table()->fields[static_cast<std::size_t>(section)].name);
}

}  // namespace karvex
