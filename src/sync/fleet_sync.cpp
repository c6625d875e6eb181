#include "sync/fleet_sync.h"

#include <libpq-fe.h>
#include <sqlcipher/sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>

#include "convert/conversions.h"
#include "store/outbox.h"
#include "store/schema.h"
#include "store/store_codes.h"
#include "store/store_connection.h"
#include "store/table_export.h"
#include "sync/central_schema.h"

namespace karvex::sync {
namespace {

struct PgConnDeleter {
    void operator()(PGconn* c) const { PQfinish(c); }
};
struct PgResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using PgConn = std::unique_ptr<PGconn, PgConnDeleter>;
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

// libpq's texts end in a newline and may run over several lines.
std::string Trimmed(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    std::replace(s.begin(), s.end(), '\n', ' ');
    std::replace(s.begin(), s.end(), '\t', ' ');
    return s;
}

// The server's message with its detail, as it comes (the server's language), in brackets after ours.
std::string ServerText(const PGresult* r, const PGconn* c) {
    std::string text = Trimmed(r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr);
    if (text.empty()) text = Trimmed(PQerrorMessage(c));
    if (r) {
        std::string detail = Trimmed(PQresultErrorField(r, PG_DIAG_MESSAGE_DETAIL));
        if (!detail.empty()) text += "; " + detail;
    }
    return text;
}

std::string SqlState(const PGresult* r) {
    const char* s = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    return s ? s : "";
}

enum class Failure { None, Data, Connection, Other };

// What a failed statement means for the batch: a value refused (data exception or integrity constraint),
// a connection gone (the batch did not commit; sent again next time), or a refusal of another kind.
Failure Classify(const PGresult* r, const PGconn* c) {
    const std::string state = SqlState(r);
    if (PQstatus(c) == CONNECTION_BAD || state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0)
        return Failure::Connection;
    if (state.rfind("22", 0) == 0 || state.rfind("23", 0) == 0) return Failure::Data;
    return Failure::Other;
}

bool Ok(const PGresult* r) {
    const ExecStatusType s = PQresultStatus(r);
    return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

PgResult Exec(PGconn* c, const std::string& sql) { return PgResult(PQexec(c, sql.c_str())); }

PgResult ExecParams(PGconn* c, const std::string& sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    return PgResult(
        PQexecParams(c, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
}

std::string NowUtc() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// One value of an outbox row as JSON: numbers as numbers (a real in its shortest exact form), text as a
// string, a blob as hexadecimal text.
void AppendJsonValue(std::string& out, sqlite3_stmt* st, int column) {
    switch (sqlite3_column_type(st, column)) {
    case SQLITE_INTEGER: out += std::to_string(sqlite3_column_int64(st, column)); break;
    case SQLITE_FLOAT: {
        const double d = sqlite3_column_double(st, column);
        char buf[64];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
        // Not a number or infinite: JSON has no word for them, the central column refuses the text.
        if (ec != std::errc() || d != d || d - d != 0) {
            out += "\"" + std::string(d != d ? "NaN" : "Infinity") + "\"";
        } else {
            out.append(buf, end);
        }
        break;
    }
    case SQLITE_TEXT:
        out += JsonString(std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(st, column)),
                                           static_cast<std::size_t>(sqlite3_column_bytes(st, column))));
        break;
    case SQLITE_BLOB: {
        const auto* b = static_cast<const unsigned char*>(sqlite3_column_blob(st, column));
        std::string hex;
        BytesToHex(ByteView(b, static_cast<std::size_t>(sqlite3_column_bytes(st, column))), hex);
        out += '"' + hex + '"';
        break;
    }
    default: out += "null"; break;
    }
}

struct OutboxRow {
    std::int64_t seq = 0;
    std::string table;
    std::string machine;
    std::string json;  // the row as a JSON array in the store table's column order
    std::string key;   // the table's key value, for messages
};

// Rows sharing a register and a table go in one statement.
struct Group {
    std::string machine;
    const CentralTable* table = nullptr;
    std::vector<std::size_t> rows;
};

std::string RowName(const OutboxRow& row) {
    const SyncedTable* t = FindSyncedTable(row.table);
    std::string name = "表 " + row.table + " 中机器编号 " + row.machine + " 的一行";
    if (t != nullptr && *t->key != '\0') name += "（" + std::string(t->key) + " = " + row.key + "）";
    return name + "，发件箱序号 " + std::to_string(row.seq);
}

class Session {
public:
    Session(StoreConnection& store, const SyncSettings& settings) : store_(store), settings_(settings) {}

    std::int32_t Connect(std::string& shown) {
        std::vector<std::pair<std::string, std::string>> params;
        std::string why;
        if (std::int32_t rc = ParseCentralAddress(settings_, params, shown, why); rc != 0) return Fail(rc, why);
        std::vector<const char*> keys, values;
        for (const auto& [k, v] : params) {
            keys.push_back(k.c_str());
            values.push_back(v.c_str());
        }
        keys.push_back(nullptr);
        values.push_back(nullptr);
        conn_.reset(PQconnectdbParams(keys.data(), values.data(), 0));
        if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
            return Fail(result::kSyncConnectFailed, "无法连接中心数据库 " + shown + "（" +
                                                        Trimmed(conn_ ? PQerrorMessage(conn_.get()) : "") + "）");
        }
        // The server's notices are not the sync's output (the tool prints one JSON object).
        PQsetNoticeProcessor(
            conn_.get(), [](void*, const char*) {}, nullptr);
        // Text on the wire is UTF-8 whatever the server's default.
        PQsetClientEncoding(conn_.get(), "UTF8");
        return 0;
    }

    PGconn* Conn() const { return conn_.get(); }

    // The version the central schema is at; 0 when there is none.
    std::int32_t CentralVersion(int& version) {
        version = 0;
        PgResult r = Exec(conn_.get(),
                          "SELECT to_regclass('" + std::string(kCentralSchemaName) + ".schema_version') IS NOT NULL");
        if (!Ok(r.get())) return FailStatement(r.get(), "读取中心数据库版本失败");
        if (std::string(PQgetvalue(r.get(), 0, 0)) != "t") return 0;
        r = Exec(conn_.get(),
                 "SELECT COALESCE(max(version), 0) FROM " + std::string(kCentralSchemaName) + ".schema_version");
        if (!Ok(r.get())) return FailStatement(r.get(), "读取中心数据库版本失败");
        version = std::atoi(PQgetvalue(r.get(), 0, 0));
        return 0;
    }

    std::int32_t FailStatement(const PGresult* r, const std::string& what) {
        const Failure f = Classify(r, conn_.get());
        const std::int32_t code = f == Failure::Connection ? result::kSyncConnectionLost
                                  : f == Failure::Data     ? result::kSyncRowRejected
                                                           : result::kSyncServerRefused;
        return Fail(code, what + "（" + ServerText(r, conn_.get()) + "）");
    }

    std::int32_t Fail(std::int32_t code, std::string text) {
        error_ = std::move(text);
        return code;
    }
    const std::string& Error() const { return error_; }

    // ---- the push

    std::int32_t Push(std::int64_t& sent) {
        int version = 0;
        if (std::int32_t rc = CentralVersion(version); rc != 0) return rc;
        if (version != kCentralSchemaVersion) {
            return Fail(result::kSyncSchemaMismatch,
                        version == 0 ? std::string("中心数据库还没有同步架构，请先执行 karvex sync --init")
                                     : "中心数据库架构版本为 " + std::to_string(version) + "，本程序需要版本 " +
                                           std::to_string(kCentralSchemaVersion));
        }
        for (;;) {
            std::vector<OutboxRow> batch;
            if (std::int32_t rc = ReadBatch(batch); rc != 0) return rc;
            if (batch.empty()) return 0;
            std::size_t committed = 0;
            std::int32_t rc = SendBatch(batch, committed);
            if (committed > 0) {
                if (std::int32_t drc = Remove(batch[committed - 1].seq, committed); drc != 0) return drc;
                sent += static_cast<std::int64_t>(committed);
                if (settings_.afterBatch) settings_.afterBatch(sent);
            }
            if (rc != 0) return rc;
        }
    }

private:
    // The columns of a store table, read once per run.
    const std::vector<std::string>& Columns(const std::string& table) {
        auto it = columns_.find(table);
        if (it == columns_.end()) {
            std::vector<std::string> cols;
            if (StoreColumns(store_, table, cols) != 0) cols.clear();
            it = columns_.emplace(table, std::move(cols)).first;
        }
        return it->second;
    }

    std::int32_t CurrentMachine(std::string& machine) {
        machine.clear();
        Statement st(store_, "SELECT \"机器编号\" FROM \"MachineData\" ORDER BY \"karvex_row\" DESC LIMIT 1");
        if (st.PrepareResult() != SQLITE_OK) return StoreFail(st.PrepareResult());
        if (sqlite3_step(st.get()) == SQLITE_ROW && sqlite3_column_type(st.get(), 0) != SQLITE_NULL) {
            machine = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
        }
        return 0;
    }

    std::int32_t StoreFail(int rc) {
        store_.FailEngine(rc == SQLITE_OK ? sqlite3_extended_errcode(store_.Handle()) : rc, "读取同步发件箱失败");
        return Fail(result::kExecutionFailed, store_.LastErrorText());
    }

    // The next rows in capture order, read in one short statement so that the store's writer is never kept
    // waiting while the central server is slow.
    std::int32_t ReadBatch(std::vector<OutboxRow>& batch) {
        std::string current;
        if (std::int32_t rc = CurrentMachine(current); rc != 0) return rc;
        std::string sql = "SELECT seq, tbl, machine, ky";
        for (int i = 1; i <= kOutboxValueColumns; ++i) sql += ", v" + std::to_string(i);
        sql += std::string(" FROM ") + kOutboxTable + " ORDER BY seq LIMIT " +
               std::to_string(std::max(1, settings_.batchRows));
        Statement st(store_, sql);
        if (st.PrepareResult() != SQLITE_OK) return StoreFail(st.PrepareResult());
        int rc;
        while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
            OutboxRow row;
            row.seq = sqlite3_column_int64(st.get(), 0);
            row.table = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 1));
            if (sqlite3_column_type(st.get(), 2) != SQLITE_NULL) {
                row.machine = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 2));
            }
            if (row.machine.empty()) row.machine = current;
            if (const unsigned char* key = sqlite3_column_text(st.get(), 3))
                row.key = reinterpret_cast<const char*>(key);
            if (row.machine.empty()) {
                // Rows before this one can go; this one waits for the machine data.
                if (!batch.empty()) break;
                return Fail(result::kSyncNoMachineNumber,
                            "发件箱中有 " + row.table + " 的数据，但存储中还没有机器编号，请先联机读取机器数据");
            }
            const std::vector<std::string>& cols = Columns(row.table);
            const CentralTable* central = FindCentralTable(row.table);
            if (central == nullptr || UpsertSql(*central, cols).empty()) {
                // Sending on would delete the row from the outbox without a place for it centrally.
                if (!batch.empty()) break;
                return Fail(result::kSyncSchemaMismatch,
                            "发件箱中有表 " + row.table + " 的数据，本程序的中心架构中没有它的位置");
            }
            row.json = "[";
            for (std::size_t i = 0; i < cols.size(); ++i) {
                if (i > 0) row.json += ',';
                AppendJsonValue(row.json, st.get(), static_cast<int>(4 + i));
            }
            row.json += ']';
            batch.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) return StoreFail(SQLITE_OK);
        return 0;
    }

    std::vector<Group> Grouped(const std::vector<OutboxRow>& batch, std::size_t from, std::size_t to) {
        std::vector<Group> groups;
        std::map<std::pair<std::string, std::string>, std::size_t> index;
        for (std::size_t i = from; i < to; ++i) {
            const OutboxRow& row = batch[i];
            auto [it, added] = index.try_emplace({row.machine, row.table}, groups.size());
            if (added) groups.push_back({row.machine, FindCentralTable(row.table), {}});
            groups[it->second].rows.push_back(i);
        }
        return groups;
    }

    // Upserts rows [from, to) of the batch; the transaction is the caller's.
    PgResult Upsert(const std::vector<OutboxRow>& batch, std::size_t from, std::size_t to) {
        std::map<std::string, bool> machines;
        for (const Group& g : Grouped(batch, from, to)) {
            // ReadBatch took only rows whose table has its central form.
            const std::string sql = UpsertSql(*g.table, Columns(g.table->name));
            std::string rows = "[";
            for (std::size_t i : g.rows) {
                if (rows.size() > 1) rows += ',';
                rows += batch[i].json;
            }
            rows += ']';
            PgResult r = ExecParams(conn_.get(), sql, {g.machine, rows});
            if (!Ok(r.get())) return r;
            machines[g.machine] = true;
        }
        for (const auto& [machine, unused] : machines) {
            PgResult r = ExecParams(conn_.get(),
                                    "INSERT INTO " + std::string(kCentralSchemaName) +
                                        ".registers (machine_no) VALUES ($1) ON CONFLICT (machine_no) DO UPDATE"
                                        " SET last_sync = now()",
                                    {machine});
            if (!Ok(r.get())) return r;
        }
        return nullptr;
    }

    // One batch in one transaction. `committed` tells how many leading rows the server committed.
    std::int32_t SendBatch(const std::vector<OutboxRow>& batch, std::size_t& committed) {
        committed = 0;
        PgResult r = Exec(conn_.get(), "BEGIN");
        if (!Ok(r.get())) return FailStatement(r.get(), "中心数据库事务无法开始");
        r = Upsert(batch, 0, batch.size());
        if (r == nullptr) {
            r = Exec(conn_.get(), "COMMIT");
            // A COMMIT whose answer was lost may have committed or not: the rows stay and are sent again,
            // which changes nothing if they were.
            if (!Ok(r.get())) return FailStatement(r.get(), "中心数据库提交失败");
            committed = batch.size();
            return 0;
        }
        if (Classify(r.get(), conn_.get()) != Failure::Data) {
            std::int32_t code = FailStatement(r.get(), "同步一批数据失败，本批未提交");
            Exec(conn_.get(), "ROLLBACK");
            return code;
        }
        Exec(conn_.get(), "ROLLBACK");
        return FindRefusedRow(batch, committed);
    }

    // Row by row, to name the refused one and commit the rows before it.
    std::int32_t FindRefusedRow(const std::vector<OutboxRow>& batch, std::size_t& committed) {
        PgResult r = Exec(conn_.get(), "BEGIN");
        if (!Ok(r.get())) return FailStatement(r.get(), "中心数据库事务无法开始");
        for (std::size_t i = 0; i < batch.size(); ++i) {
            Exec(conn_.get(), "SAVEPOINT karvex_row");
            r = Upsert(batch, i, i + 1);
            if (r == nullptr) {
                Exec(conn_.get(), "RELEASE SAVEPOINT karvex_row");
                continue;
            }
            const Failure f = Classify(r.get(), conn_.get());
            std::int32_t code = FailStatement(
                r.get(), f == Failure::Data ? "中心数据库拒绝了" + RowName(batch[i]) : "同步一批数据失败，本批未提交");
            if (f == Failure::Connection) return code;
            Exec(conn_.get(), "ROLLBACK TO SAVEPOINT karvex_row");
            if (i > 0) {
                PgResult c = Exec(conn_.get(), "COMMIT");
                if (!Ok(c.get())) return FailStatement(c.get(), "中心数据库提交失败");
                committed = i;
            } else {
                Exec(conn_.get(), "ROLLBACK");
            }
            return code;
        }
        // Refused together, taken one by one: whatever it was is gone; commit them all.
        r = Exec(conn_.get(), "COMMIT");
        if (!Ok(r.get())) return FailStatement(r.get(), "中心数据库提交失败");
        committed = batch.size();
        return 0;
    }

    // The committed rows leave the outbox, and the sync state counts them, in one store transaction.
    std::int32_t Remove(std::int64_t lastSeq, std::size_t count) {
        StoreTransaction tx(store_);
        std::int32_t rc = tx.BeginResult();
        if (rc == 0) {
            rc = store_.Exec(std::string("DELETE FROM ") + kOutboxTable + " WHERE seq <= " + std::to_string(lastSeq) +
                             "; UPDATE " + kSyncStateTable + " SET rows_sent = rows_sent + " + std::to_string(count) +
                             " WHERE id = 1;");
        }
        if (rc == 0) rc = tx.Commit();
        if (rc != 0) {
            return Fail(
                rc, "中心数据库已收到本批数据，但本地发件箱未能更新，下次同步会重发（" + store_.LastErrorText() + "）");
        }
        return 0;
    }

    StoreConnection& store_;
    const SyncSettings& settings_;
    PgConn conn_;
    std::map<std::string, std::vector<std::string>> columns_;
    std::string error_;
};

}  // namespace

std::int32_t ParseCentralAddress(const SyncSettings& settings, std::vector<std::pair<std::string, std::string>>& params,
                                 std::string& shown, std::string& why) {
    params.clear();
    shown.clear();
    if (settings.address.find_first_not_of(" \t") == std::string::npos) {
        why = "没有给出中心数据库地址";
        return result::kSyncBadAddress;
    }
    char* err = nullptr;
    PQconninfoOption* options = PQconninfoParse(settings.address.c_str(), &err);
    if (options == nullptr) {
        why = "中心数据库地址无效（" + Trimmed(err) + "）";
        PQfreemem(err);
        return result::kSyncBadAddress;
    }
    std::map<std::string, std::string> given;
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val != nullptr && *o->val != '\0') given[o->keyword] = o->val;
    }
    PQconninfoFree(options);
    if (given.count("password")) {
        why =
            "中心数据库地址中含有口令；口令请放在口令文件（PGPASSFILE、~/.pgpass，或 --passfile、--sync-passfile "
            "给出的文件）或服务文件中";
        return result::kSyncBadAddress;
    }
    if (!settings.passwordFile.empty()) given["passfile"] = settings.passwordFile;
    given.try_emplace("connect_timeout", "10");
    given.try_emplace("application_name", "karvex-sync");
    for (const auto& [k, v] : given) params.emplace_back(k, v);
    auto part = [&](const char* key) {
        auto it = given.find(key);
        return it == given.end() ? std::string() : it->second;
    };
    if (!part("service").empty()) shown = "service=" + part("service") + " ";
    if (!part("user").empty()) shown += part("user") + "@";
    shown +=
        part("host").empty() ? (part("hostaddr").empty() ? std::string("localhost") : part("hostaddr")) : part("host");
    if (!part("port").empty()) shown += ":" + part("port");
    shown += "/" + part("dbname");
    if (!part("sslmode").empty()) shown += " sslmode=" + part("sslmode");
    return 0;
}

std::chrono::milliseconds NextAttemptDelay(int failures, std::chrono::milliseconds period,
                                           std::chrono::milliseconds cap) {
    std::chrono::milliseconds delay = period;
    for (int i = 0; i < failures && delay < cap; ++i) delay *= 2;
    return std::min(delay, cap);
}

std::int32_t InitCentral(const SyncSettings& settings, std::string& message) {
    StoreConnection none;
    Session s(none, settings);
    std::string shown;
    std::int32_t rc = s.Connect(shown);
    auto fail = [&](std::int32_t code) {
        message = s.Error();
        return code;
    };
    if (rc != 0) return fail(rc);
    PgResult r = Exec(s.Conn(), "BEGIN");
    if (!Ok(r.get())) return fail(s.FailStatement(r.get(), "中心数据库事务无法开始"));
    // Two registers initialising at once must not both create the schema.
    r = Exec(s.Conn(), "SELECT pg_advisory_xact_lock(7238)");
    if (!Ok(r.get())) return fail(s.FailStatement(r.get(), "中心数据库无法加锁"));
    int version = 0;
    if ((rc = s.CentralVersion(version)) != 0) return fail(rc);
    if (version > kCentralSchemaVersion) {
        message = "中心数据库架构版本为 " + std::to_string(version) + "，比本程序的版本 " +
                  std::to_string(kCentralSchemaVersion) + " 新，未作修改";
        return result::kSyncSchemaMismatch;
    }
    for (int v = version + 1; v <= kCentralSchemaVersion; ++v) {
        for (const std::string& sql : CentralSchemaStep(v)) {
            r = Exec(s.Conn(), sql);
            if (!Ok(r.get())) return fail(s.FailStatement(r.get(), "创建中心数据库架构失败"));
        }
    }
    r = Exec(s.Conn(), "COMMIT");
    if (!Ok(r.get())) return fail(s.FailStatement(r.get(), "中心数据库提交失败"));
    message = version == kCentralSchemaVersion ? "中心数据库 " + shown + " 的架构已是版本 " + std::to_string(version)
                                               : "中心数据库 " + shown + " 的架构已从版本 " + std::to_string(version) +
                                                     " 升到版本 " + std::to_string(kCentralSchemaVersion);
    return 0;
}

std::int32_t FleetSync::Fail(std::int32_t code, std::string text) {
    error_ = std::move(text);
    return code;
}

std::int32_t FleetSync::Record(std::int32_t code, const std::string& central) {
    Statement st(store_, code == 0 ? std::string("UPDATE ") + kSyncStateTable +
                                         " SET central = ?1, last_success = ?2, last_attempt = ?2, last_code = 0,"
                                         " last_error = NULL, failures = 0 WHERE id = 1"
                                   : std::string("UPDATE ") + kSyncStateTable +
                                         " SET central = ?1, last_attempt = ?2, last_code = ?3, last_error = ?4,"
                                         " failures = failures + 1 WHERE id = 1");
    if (st.PrepareResult() != SQLITE_OK) return store_.FailEngine(st.PrepareResult(), "保存同步状态失败");
    const std::string now = NowUtc();
    sqlite3_bind_text(st.get(), 1, central.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st.get(), 2, now.c_str(), -1, SQLITE_TRANSIENT);
    if (code != 0) {
        sqlite3_bind_int(st.get(), 3, code);
        sqlite3_bind_text(st.get(), 4, error_.c_str(), -1, SQLITE_TRANSIENT);
    }
    if (sqlite3_step(st.get()) != SQLITE_DONE) {
        return store_.FailEngine(sqlite3_extended_errcode(store_.Handle()), "保存同步状态失败");
    }
    return 0;
}

std::int32_t FleetSync::Push(const SyncSettings& settings, std::int64_t* sent) {
    std::int64_t count = 0;
    if (sent) *sent = 0;
    if (!store_.IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    // The store's writer may hold a transaction for the whole of a long answer.
    sqlite3_busy_timeout(store_.Handle(), 10000);
    Session s(store_, settings);
    std::string shown;
    std::int32_t rc = s.Connect(shown);
    if (rc == 0) rc = s.Push(count);
    if (sent) *sent = count;
    error_ = rc == 0 ? std::string() : s.Error();
    // A state that cannot be written does not undo what was sent; the rows' fate is in the outbox.
    Record(rc, shown);
    return rc;
}

std::int32_t FleetSync::ReadStatus(SyncStatus& status) {
    status = SyncStatus{};
    if (!store_.IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    Statement st(store_,
                 std::string("SELECT (SELECT count(*) FROM ") + kOutboxTable +
                     "), central, last_success, last_attempt, last_code, last_error, failures, rows_sent FROM " +
                     kSyncStateTable + " WHERE id = 1");
    if (st.PrepareResult() != SQLITE_OK) {
        std::int32_t rc = store_.FailEngine(st.PrepareResult(), "读取同步状态失败");
        return Fail(rc, store_.LastErrorText());
    }
    if (sqlite3_step(st.get()) != SQLITE_ROW) {
        std::int32_t rc = store_.FailEngine(sqlite3_extended_errcode(store_.Handle()), "读取同步状态失败");
        return Fail(rc, store_.LastErrorText());
    }
    auto text = [&](int i) {
        const unsigned char* t = sqlite3_column_text(st.get(), i);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    status.waiting = sqlite3_column_int64(st.get(), 0);
    status.central = text(1);
    status.lastSuccess = text(2);
    status.lastAttempt = text(3);
    status.lastCode = sqlite3_column_int(st.get(), 4);
    status.lastError = text(5);
    status.failures = sqlite3_column_int(st.get(), 6);
    status.rowsSent = sqlite3_column_int64(st.get(), 7);
    return 0;
}

}  // namespace karvex::sync
