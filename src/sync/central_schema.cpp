#include "sync/central_schema.h"

#include "journal/journal.h"
#include "store/outbox.h"
#include "store/schema.h"

namespace karvex::sync {
namespace {

std::string PgType(const FieldDef& f) {
    const std::string name = PgIdentifier(f.name);
    switch (f.type) {
    case FieldType::Text: return "text";
    // The store's byte fields hold 0..255 on the processor's side; anything else is a damaged row.
    case FieldType::Byte: return "smallint CHECK (" + name + " BETWEEN 0 AND 255)";
    case FieldType::Short: return "smallint";
    case FieldType::Long: return "bigint";
    // Amounts and quantities as exact decimals: the head office adds them up.
    case FieldType::Double: return "numeric";
    }
    return "text";
}

std::vector<CentralTable> BuildTables() {
    std::vector<CentralTable> out;
    for (const SyncedTable& synced : SyncedTables()) {
        const TableDef* def = FindStoreTable(synced.name);
        if (def == nullptr) continue;
        CentralTable t{def->name, synced.key, {}, {}};
        if (t.key == kRowIdColumn) t.columns.push_back({kRowIdColumn, "bigint"});
        for (const FieldDef& f : def->fields) t.columns.push_back({f.name, PgType(f)});
        if (t.name == journal::kTable) {
            t.since = 2;
            t.keyTime = std::string(journal::kCreated);
        }
        out.push_back(std::move(t));
    }
    return out;
}

std::string Sum(const char* prefix) {
    std::string out = "(";
    for (int k = 1; k <= 6; ++k) {
        if (k > 1) out += " + ";
        out += "COALESCE(\"" + std::string(prefix) + std::to_string(k) + "\", 0)";
    }
    return out + ")";
}

// Digits of an invoice number as a number; NULL when the field holds anything else (a blank before a
// roll is taken into use).
std::string InvoiceNo(const char* column) {
    return std::string("CASE WHEN \"") + column + "\" ~ '^[0-9]{1,18}$' THEN \"" + column + "\"::bigint END";
}

void CreateTables(int version, std::vector<std::string>& sql) {
    for (const CentralTable& t : CentralTables()) {
        if (t.since != version) continue;
        std::string create = "CREATE TABLE " + CentralName(t.name) + " (machine_no text NOT NULL";
        for (const CentralColumn& c : t.columns) create += ", " + PgIdentifier(c.name) + " " + c.type;
        create += ", synced_at timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (machine_no";
        if (!t.key.empty()) create += ", " + PgIdentifier(t.key);
        create += "))";
        sql.push_back(create);
    }
}

// The sales journal joins: a sale whose outcome is not final yet ("sent", "in-doubt") is one the head
// office may have to chase.
std::vector<std::string> VersionTwo() {
    std::vector<std::string> sql;
    CreateTables(2, sql);
    const auto col = [](std::string_view name) { return PgIdentifier(std::string(name)); };
    sql.push_back("CREATE VIEW " + std::string(kCentralSchemaName) + ".sales_in_doubt AS SELECT machine_no, " +
                  col(journal::kSaleId) + " AS sale_id, " + col(journal::kState) + " AS state, " +
                  col(journal::kCreated) + " AS created_at, " + col(journal::kUpdated) + " AS updated_at, " +
                  col(journal::kKind) + " AS kind, " + col(journal::kTotal) + " AS total, " + col(journal::kResult) +
                  " AS result FROM " + CentralName(std::string(journal::kTable)) + " WHERE " + col(journal::kState) +
                  " IN ('" + std::string(journal::kSent) + "', '" + std::string(journal::kInDoubt) + "')");
    return sql;
}

// The journal's rows are keyed by their creation time too (to the second, as the journal writes it), so
// that a register whose store was recreated adds its rows beside the older ones. The rows already there
// keep their data; a row with no creation time could not be keyed and gets an empty one.
std::vector<std::string> VersionThree() {
    const std::string table = CentralName(std::string(journal::kTable));
    const std::string created = PgIdentifier(std::string(journal::kCreated));
    return {
        "UPDATE " + table + " SET " + created + " = '' WHERE " + created + " IS NULL",
        "ALTER TABLE " + table + " DROP CONSTRAINT " + PgIdentifier(std::string(journal::kTable) + "_pkey"),
        "ALTER TABLE " + table + " ADD PRIMARY KEY (machine_no, " + PgIdentifier(kRowIdColumn) + ", " + created + ")"};
}

// The journal's columns for an accountant and its counter: added to a journal made before them (a database
// created at this version has them from its CREATE already).
std::vector<std::string> VersionFour() {
    const std::string table = CentralName(std::string(journal::kTable));
    std::vector<std::string> sql;
    for (const auto& [name, type] : {std::pair{journal::kAnchor, "text"}, std::pair{journal::kTotalFen, "bigint"},
                                     std::pair{journal::kReturnsRow, "bigint"}, std::pair{journal::kIssueDate, "text"}})
        sql.push_back("ALTER TABLE " + table + " ADD COLUMN IF NOT EXISTS " + PgIdentifier(std::string(name)) + " " +
                      type);
    return sql;
}

std::vector<std::string> VersionOne() {
    const std::string s = kCentralSchemaName;
    std::vector<std::string> sql;
    sql.push_back("CREATE SCHEMA IF NOT EXISTS " + s);
    sql.push_back("CREATE TABLE " + s +
                  ".schema_version (version integer NOT NULL, applied_at timestamptz NOT NULL DEFAULT now())");
    // Every register that ever sent, and when it last did.
    sql.push_back("CREATE TABLE " + s +
                  ".registers (machine_no text PRIMARY KEY, first_sync timestamptz NOT NULL DEFAULT now(),"
                  " last_sync timestamptz NOT NULL DEFAULT now())");
    // Numbers the head office may change without a new schema (UPDATE karvex.settings ...).
    sql.push_back("CREATE TABLE " + s + ".settings (name text PRIMARY KEY, value numeric NOT NULL)");
    sql.push_back("INSERT INTO " + s + ".settings VALUES ('roll_threshold', 2)");
    CreateTables(1, sql);
    sql.push_back("CREATE VIEW " + s +
                  ".day_trade_per_register AS SELECT machine_no, \"日期\" AS day,"
                  " \"正常发票份数\" AS normal_invoices, \"退票份数\" AS return_invoices,"
                  " \"废票份数\" AS void_invoices, " +
                  Sum("正常发票累计金额") + " AS normal_amount, " + Sum("退票累计金额") + " AS return_amount FROM " +
                  CentralName("DayTrade"));
    sql.push_back("CREATE VIEW " + s +
                  ".day_trade_total AS SELECT day, count(*) AS registers, sum(normal_invoices) AS normal_invoices,"
                  " sum(return_invoices) AS return_invoices, sum(void_invoices) AS void_invoices,"
                  " sum(normal_amount) AS normal_amount, sum(return_amount) AS return_amount FROM " +
                  s + ".day_trade_per_register GROUP BY day");
    sql.push_back("CREATE VIEW " + s +
                  ".invoices_per_register_day AS SELECT machine_no, \"开票日期\" AS day, count(*) AS invoices,"
                  " count(*) FILTER (WHERE \"开票类型\" = 1) AS normal_invoices,"
                  " count(*) FILTER (WHERE \"开票类型\" = 2) AS return_invoices,"
                  " count(*) FILTER (WHERE \"开票类型\" = 3) AS void_invoices,"
                  " COALESCE(sum(\"开票总金额\") FILTER (WHERE \"开票类型\" = 1), 0) AS normal_amount,"
                  " COALESCE(sum(\"开票总金额\") FILTER (WHERE \"开票类型\" = 2), 0) AS return_amount FROM " +
                  CentralName("InvPrintData") + " GROUP BY machine_no, \"开票日期\"");
    // A roll is 1 while dispensed and unused, 2 in use, 3 used up.
    sql.push_back("CREATE VIEW " + s +
                  ".rolls_left AS SELECT r.machine_no,"
                  " count(i.machine_no) FILTER (WHERE i.\"发票使用状态\" = 1) AS unused_rolls,"
                  " count(i.machine_no) FILTER (WHERE i.\"发票使用状态\" = 2) AS rolls_in_use,"
                  " COALESCE(sum(CASE WHEN i.\"发票使用状态\" = 1 THEN " +
                  InvoiceNo("单卷发票终止号") + " - " + InvoiceNo("单卷发票起始号") +
                  " + 1 WHEN i.\"发票使用状态\" = 2 THEN " + InvoiceNo("单卷发票终止号") + " - COALESCE(" +
                  InvoiceNo("当前发票号") + ", " + InvoiceNo("单卷发票起始号") +
                  ") + 1 END), 0) AS invoices_left FROM " + s + ".registers r LEFT JOIN " +
                  CentralName("InvoiceNumber") + " i ON i.machine_no = r.machine_no GROUP BY r.machine_no");
    sql.push_back("CREATE VIEW " + s + ".rolls_low AS SELECT * FROM " + s +
                  ".rolls_left WHERE unused_rolls < (SELECT value FROM " + s +
                  ".settings WHERE name = 'roll_threshold')");
    return sql;
}

}  // namespace

std::string PgIdentifier(const std::string& name) { return QuoteIdentifier(name); }

std::string CentralName(const std::string& name) { return std::string(kCentralSchemaName) + "." + PgIdentifier(name); }

const std::vector<CentralTable>& CentralTables() {
    static const std::vector<CentralTable> tables = BuildTables();
    return tables;
}

const CentralTable* FindCentralTable(const std::string& name) {
    for (const CentralTable& t : CentralTables())
        if (t.name == name) return &t;
    return nullptr;
}

std::vector<std::string> CentralSchemaStep(int version) {
    std::vector<std::string> sql;
    if (version == 1) sql = VersionOne();
    if (version == 2) sql = VersionTwo();
    if (version == 3) sql = VersionThree();
    if (version == 4) sql = VersionFour();
    if (!sql.empty()) {
        sql.push_back("INSERT INTO " + std::string(kCentralSchemaName) + ".schema_version (version) VALUES (" +
                      std::to_string(version) + ")");
    }
    return sql;
}

const std::vector<CentralView>& CentralViews() {
    static const std::vector<CentralView> views = {
        {"karvex.day_trade_per_register",
         "SELECT * FROM karvex.day_trade_per_register WHERE day = '20261207' ORDER BY machine_no;"},
        {"karvex.day_trade_total", "SELECT * FROM karvex.day_trade_total ORDER BY day DESC LIMIT 7;"},
        {"karvex.invoices_per_register_day",
         "SELECT machine_no, invoices, normal_amount FROM karvex.invoices_per_register_day WHERE day = '20261207';"},
        {"karvex.rolls_left", "SELECT machine_no, unused_rolls, invoices_left FROM karvex.rolls_left ORDER BY 3;"},
        {"karvex.rolls_low", "SELECT machine_no, unused_rolls FROM karvex.rolls_low;"},
        {"karvex.sales_in_doubt",
         "SELECT machine_no, sale_id, state, created_at FROM karvex.sales_in_doubt ORDER BY created_at;"},
    };
    return views;
}

std::string UpsertSql(const CentralTable& table, const std::vector<std::string>& localColumns) {
    auto localIndex = [&](const std::string& name) {
        for (std::size_t i = 0; i < localColumns.size(); ++i)
            if (localColumns[i] == name) return static_cast<int>(i);
        return -1;
    };
    const int keyIndex = table.key.empty() ? -1 : localIndex(table.key);
    if (!table.key.empty() && keyIndex < 0) return {};
    const int timeIndex = table.keyTime.empty() ? -1 : localIndex(table.keyTime);
    if (!table.keyTime.empty() && timeIndex < 0) return {};
    std::string names = "machine_no";
    std::string values = "$1";
    std::string updates;
    for (const CentralColumn& c : table.columns) {
        const int i = localIndex(c.name);
        // The cast needs the bare type: a column's CHECK belongs to the table.
        const std::string type = c.type.substr(0, c.type.find(' '));
        names += ", " + PgIdentifier(c.name);
        values += ", " + (i < 0 ? "NULL::" + type : "(e->>" + std::to_string(i) + ")::" + type);
        updates += PgIdentifier(c.name) + " = EXCLUDED." + PgIdentifier(c.name) + ", ";
    }
    // The last copy of each row is chosen before any value is converted: an earlier copy that a column
    // would refuse does not matter once a later one replaces it.
    std::string key = "e->>" + std::to_string(keyIndex);
    if (timeIndex >= 0) key += ", e->>" + std::to_string(timeIndex);
    std::string sql = "INSERT INTO " + CentralName(table.name) + " (" + names + ", synced_at) SELECT " + values +
                      ", now() FROM (SELECT ";
    if (keyIndex >= 0) sql += "DISTINCT ON (" + key + ") ";
    sql += "e FROM jsonb_array_elements($2::jsonb) WITH ORDINALITY AS x(e, n) ORDER BY ";
    sql += keyIndex >= 0 ? key + ", n DESC" : "n DESC LIMIT 1";
    sql += ") AS last ON CONFLICT (machine_no";
    if (keyIndex >= 0) sql += ", " + PgIdentifier(table.key);
    if (timeIndex >= 0) sql += ", " + PgIdentifier(table.keyTime);
    sql += ") DO UPDATE SET " + updates + "synced_at = EXCLUDED.synced_at";
    return sql;
}

}  // namespace karvex::sync
