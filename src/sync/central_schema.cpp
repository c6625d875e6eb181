#include "sync/central_schema.h"

#include "store/journal_names.h"
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

// Row versions, tombstones' targets, liveness and one role per register.
//  - Every row carries the store generation and version it was sent with; the upsert keeps the newer.
//  - registers.last_seen moves on every contact, rows or not; last_sync only when rows arrive.
//  - A register's login is mapped to its machine number, and row-level security lets the members of the
//    register role see and write rows of that number only. The schema's owner (the head office) is not
//    bound by it, and neither are registers that still sync as the owner.
//  - The card's password is no longer sent; what earlier versions sent is blanked.
//  - The journal gains its columns for an accountant and its counter (a database created at this version has
//    them from its CREATE already).
// Every statement may run again (a step re-applied after a partial downgrade by hand).
std::vector<std::string> VersionFour() {
    const std::string s = kCentralSchemaName;
    const std::string role = PgIdentifier(kRegisterRole);
    std::vector<std::string> sql;
    const std::string journalTable = CentralName(std::string(journal::kTable));
    for (const auto& [name, type] : {std::pair{journal::kAnchor, "text"}, std::pair{journal::kTotalFen, "bigint"},
                                     std::pair{journal::kReturnsRow, "bigint"}, std::pair{journal::kIssueDate, "text"}})
        sql.push_back("ALTER TABLE " + journalTable + " ADD COLUMN IF NOT EXISTS " + PgIdentifier(std::string(name)) +
                      " " + type);
    sql.push_back("ALTER TABLE " + s +
                  ".registers ADD COLUMN IF NOT EXISTS last_seen timestamptz NOT NULL DEFAULT now()");
    sql.push_back("CREATE TABLE IF NOT EXISTS " + s +
                  ".register_logins (login text PRIMARY KEY, machine_no text NOT NULL, added_at timestamptz NOT "
                  "NULL DEFAULT now())");
    sql.push_back("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '" + std::string(kRegisterRole) +
                  "') THEN CREATE ROLE " + role + " NOLOGIN; END IF; END $$");
    // Reads the mapping with the owner's rights: a register cannot read the other registers' logins.
    sql.push_back("CREATE OR REPLACE FUNCTION " + s +
                  ".my_machine() RETURNS text LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog AS "
                  "$$ SELECT machine_no FROM " +
                  s + ".register_logins WHERE login = session_user $$");
    sql.push_back("REVOKE ALL ON FUNCTION " + s + ".my_machine() FROM PUBLIC");
    sql.push_back("GRANT EXECUTE ON FUNCTION " + s + ".my_machine() TO " + role);
    sql.push_back("GRANT USAGE ON SCHEMA " + s + " TO " + role);
    sql.push_back("GRANT SELECT ON " + s + ".schema_version TO " + role);
    // What a register deleted, so that a stale copy of the row sent later does not bring it back.
    sql.push_back("CREATE TABLE IF NOT EXISTS " + s +
                  ".tombstones (machine_no text NOT NULL, tbl text NOT NULL, ky text NOT NULL, row_generation bigint"
                  " NOT NULL, row_version bigint NOT NULL, deleted_at timestamptz NOT NULL DEFAULT now(),"
                  " PRIMARY KEY (machine_no, tbl, ky))");
    std::vector<std::string> owned = {s + ".registers", s + ".tombstones"};
    for (const CentralTable& t : CentralTables()) {
        const std::string table = CentralName(t.name);
        owned.push_back(table);
        sql.push_back("ALTER TABLE " + table + " ADD COLUMN IF NOT EXISTS row_generation bigint");
        sql.push_back("ALTER TABLE " + table + " ADD COLUMN IF NOT EXISTS row_version bigint");
    }
    for (const std::string& table : owned) {
        sql.push_back("GRANT SELECT, INSERT, UPDATE, DELETE ON " + table + " TO " + role);
        sql.push_back("ALTER TABLE " + table + " ENABLE ROW LEVEL SECURITY");
        sql.push_back("DROP POLICY IF EXISTS own_rows ON " + table);
        sql.push_back("CREATE POLICY own_rows ON " + table + " TO " + role + " USING (machine_no = " + s +
                      ".my_machine()) WITH CHECK (machine_no = " + s + ".my_machine())");
    }
    for (const CentralTable& t : CentralTables()) {
        for (const CentralColumn& c : t.columns) {
            if (WithheldColumn(t.name, c.name)) {
                sql.push_back("UPDATE " + CentralName(t.name) + " SET " + PgIdentifier(c.name) + " = NULL WHERE " +
                              PgIdentifier(c.name) + " IS NOT NULL");
            }
        }
    }
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
        if (WithheldColumn(table.name, name)) return -1;
        for (std::size_t i = 0; i < localColumns.size(); ++i)
            if (localColumns[i] == name) return static_cast<int>(i);
        return -1;
    };
    const int keyIndex = table.key.empty() ? -1 : localIndex(table.key);
    if (!table.key.empty() && keyIndex < 0) return {};
    const int timeIndex = table.keyTime.empty() ? -1 : localIndex(table.keyTime);
    if (!table.keyTime.empty() && timeIndex < 0) return {};
    const std::string generation = std::to_string(localColumns.size());
    const std::string version = std::to_string(localColumns.size() + 1);
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
    names += ", row_generation, row_version";
    values += ", (e->>" + generation + ")::bigint, (e->>" + version + ")::bigint";
    updates += "row_generation = EXCLUDED.row_generation, row_version = EXCLUDED.row_version, ";
    // The last copy of each row is chosen before any value is converted: an earlier copy that a column
    // would refuse does not matter once a later one replaces it.
    std::string key = "e->>" + std::to_string(keyIndex);
    if (timeIndex >= 0) key += ", e->>" + std::to_string(timeIndex);
    std::string sql = "INSERT INTO " + CentralName(table.name) + " AS cur (" + names + ", synced_at) SELECT " + values +
                      ", now() FROM (SELECT ";
    if (keyIndex >= 0) sql += "DISTINCT ON (" + key + ") ";
    sql += "e FROM jsonb_array_elements($2::jsonb) WITH ORDINALITY AS x(e, n) ORDER BY ";
    sql += keyIndex >= 0 ? key + ", n DESC" : "n DESC LIMIT 1";
    sql += ") AS last";
    const SyncedTable* synced = FindSyncedTable(table.name);
    if (synced != nullptr && synced->mirrorsDeletes && keyIndex >= 0) {
        sql += " WHERE NOT EXISTS (SELECT 1 FROM " + std::string(kCentralSchemaName) +
               ".tombstones AS t WHERE t.machine_no = $1 AND t.tbl = '" + table.name + "' AND t.ky = e->>" +
               std::to_string(keyIndex) + " AND (t.row_generation, t.row_version) > ((e->>" + generation +
               ")::bigint, (e->>" + version + ")::bigint))";
    }
    sql += " ON CONFLICT (machine_no";
    if (keyIndex >= 0) sql += ", " + PgIdentifier(table.key);
    if (timeIndex >= 0) sql += ", " + PgIdentifier(table.keyTime);
    // Rows from before versions (NULL) are older than any versioned one.
    sql += ") DO UPDATE SET " + updates +
           "synced_at = EXCLUDED.synced_at WHERE (COALESCE(cur.row_generation, 0), COALESCE(cur.row_version, 0)) <="
           " (EXCLUDED.row_generation, EXCLUDED.row_version)";
    return sql;
}

namespace {

std::string StageName(const CentralTable& table) { return PgIdentifier("karvex_staging_" + table.name); }

// The newer-wins condition of an upsert's update, and the tombstone a row must not be older than.
std::string NewerOnly() {
    return " WHERE (COALESCE(cur.row_generation, 0), COALESCE(cur.row_version, 0)) <= (EXCLUDED.row_generation,"
           " EXCLUDED.row_version)";
}

}  // namespace

std::vector<int> StagedColumns(const CentralTable& table, const std::vector<std::string>& localColumns) {
    std::vector<int> out;
    for (std::size_t i = 0; i < localColumns.size(); ++i) {
        if (WithheldColumn(table.name, localColumns[i])) continue;
        for (const CentralColumn& c : table.columns) {
            if (c.name == localColumns[i]) out.push_back(static_cast<int>(i));
        }
    }
    return out;
}

std::string StageSql(const CentralTable& table) {
    return "CREATE TEMP TABLE IF NOT EXISTS " + StageName(table) + " (LIKE " + CentralName(table.name) +
           " INCLUDING DEFAULTS) ON COMMIT DROP; TRUNCATE " + StageName(table);
}

namespace {

std::string CopySql(const std::string& target, const CentralTable& table,
                    const std::vector<std::string>& localColumns) {
    std::string names = "machine_no";
    for (int i : StagedColumns(table, localColumns)) names += ", " + PgIdentifier(localColumns[i]);
    return "COPY " + target + " (" + names + ", row_generation, row_version) FROM STDIN";
}

}  // namespace

std::string StageCopySql(const CentralTable& table, const std::vector<std::string>& localColumns) {
    return CopySql(StageName(table), table, localColumns);
}

std::string DirectCopySql(const CentralTable& table, const std::vector<std::string>& localColumns) {
    return CopySql(CentralName(table.name), table, localColumns);
}

std::string StagedUpsertSql(const CentralTable& table, const std::vector<std::string>& localColumns) {
    std::string names = "machine_no", updates;
    for (int i : StagedColumns(table, localColumns)) names += ", " + PgIdentifier(localColumns[i]);
    names += ", row_generation, row_version";
    // Every central column is set: one the store lacks (or withholds) is NULL in the row proposed.
    for (const CentralColumn& c : table.columns)
        updates += PgIdentifier(c.name) + " = EXCLUDED." + PgIdentifier(c.name) + ", ";
    std::string key;
    if (!table.key.empty()) key = PgIdentifier(table.key);
    if (!table.keyTime.empty()) key += ", " + PgIdentifier(table.keyTime);
    std::string sql = "INSERT INTO " + CentralName(table.name) + " AS cur (" + names + ", synced_at) SELECT " +
                      (key.empty() ? std::string() : "DISTINCT ON (" + key + ") ") + names + ", now() FROM " +
                      StageName(table) + " AS s";
    const SyncedTable* synced = FindSyncedTable(table.name);
    if (synced != nullptr && synced->mirrorsDeletes && !table.key.empty()) {
        sql += " WHERE NOT EXISTS (SELECT 1 FROM " + std::string(kCentralSchemaName) +
               ".tombstones AS t WHERE t.machine_no = s.machine_no AND t.tbl = '" + table.name + "' AND t.ky = s." +
               PgIdentifier(table.key) +
               "::text AND (t.row_generation, t.row_version) > (s.row_generation, s.row_version))";
    }
    sql += key.empty() ? " ORDER BY row_version DESC LIMIT 1" : " ORDER BY " + key + ", row_version DESC";
    sql += " ON CONFLICT (machine_no" + (key.empty() ? std::string() : ", " + key) + ") DO UPDATE SET " + updates +
           "row_generation = EXCLUDED.row_generation, row_version = EXCLUDED.row_version, synced_at ="
           " EXCLUDED.synced_at" +
           NewerOnly();
    return sql;
}

std::string DeleteSql(const CentralTable& table) {
    const std::string s = kCentralSchemaName;
    std::string sql =
        "WITH gone AS (SELECT DISTINCT ON (e->>0) e->>0 AS k, (e->>1)::bigint AS g, (e->>2)::bigint AS v"
        " FROM jsonb_array_elements($2::jsonb) AS x(e) ORDER BY e->>0, (e->>2)::bigint DESC), marked AS (INSERT INTO " +
        s + ".tombstones AS t (machine_no, tbl, ky, row_generation, row_version) SELECT $1, '" + table.name +
        "', k, g, v FROM gone ON CONFLICT (machine_no, tbl, ky) DO UPDATE SET row_generation ="
        " EXCLUDED.row_generation, row_version = EXCLUDED.row_version, deleted_at = now() WHERE (t.row_generation,"
        " t.row_version) < (EXCLUDED.row_generation, EXCLUDED.row_version)) DELETE FROM " +
        CentralName(table.name) + " AS cur USING gone WHERE cur.machine_no = $1";
    if (!table.key.empty()) sql += " AND cur." + PgIdentifier(table.key) + "::text = gone.k";
    return sql + " AND (COALESCE(cur.row_generation, 0), COALESCE(cur.row_version, 0)) <= (gone.g, gone.v)";
}

}  // namespace karvex::sync
