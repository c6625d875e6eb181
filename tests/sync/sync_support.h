#pragma once
// What the sync tests share: rows written straight into a store (the capture triggers see them as they see
// a decoded answer), and the synced tables of stores and of the central database in one comparable form.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <fcntl.h>
#include <sqlcipher/sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "store/outbox.h"
#include "store/schema.h"
#include "store/store_connection.h"
#include "sync/central_schema.h"

namespace karvex::testing {

// table -> rows, each "machine|value|value|..." with numbers in one fixed form.
using TableRows = std::map<std::string, std::multiset<std::string>>;

inline std::string Canonical(const FieldType type, const char* text) {
    if (text == nullptr) return "\\N";
    if (type == FieldType::Double) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.4f", std::strtod(text, nullptr));
        return buf;
    }
    return text;
}

inline std::filesystem::path StoreFile(const std::string& dir) { return std::filesystem::path(dir) / kStoreFileName; }

inline void Exec(StoreConnection& store, const std::string& sql) {
    ASSERT_EQ(store.Exec(sql), 0) << store.LastErrorText() << "\n" << sql;
}

// Rows of every synced table of a store, under its machine number.
inline TableRows LocalRows(const std::string& dir) {
    StoreConnection store;
    EXPECT_EQ(store.Open(StoreFile(dir), BuiltInStoreKey()), 0) << store.LastErrorText();
    std::string machine;
    {
        Statement m(store, "SELECT \"机器编号\" FROM \"MachineData\" ORDER BY karvex_row DESC LIMIT 1");
        if (sqlite3_step(m.get()) == SQLITE_ROW)
            machine = reinterpret_cast<const char*>(sqlite3_column_text(m.get(), 0));
    }
    TableRows out;
    for (const SyncedTable& t : SyncedTables()) {
        const TableDef* def = FindStoreTable(t.name);
        Statement st(store, "SELECT * FROM " + QuoteIdentifier(t.name));
        while (sqlite3_step(st.get()) == SQLITE_ROW) {
            std::string row = machine;
            for (std::size_t i = 0; i < def->fields.size(); ++i) {
                // A withheld column is never sent: centrally it is NULL.
                const char* text =
                    WithheldColumn(t.name, def->fields[i].name)
                        ? nullptr
                        : reinterpret_cast<const char*>(sqlite3_column_text(st.get(), static_cast<int>(i + 1)));
                row += "|" + Canonical(def->fields[i].type, text);
            }
            out[t.name].insert(row);
        }
    }
    return out;
}

inline TableRows CentralRows(PGconn* c) {
    TableRows out;
    for (const sync::CentralTable& t : sync::CentralTables()) {
        const TableDef* def = FindStoreTable(t.name);
        std::string sql = "SELECT machine_no";
        for (const FieldDef& f : def->fields) sql += ", " + QuoteIdentifier(f.name);
        PGresult* r = PQexec(c, (sql + " FROM " + sync::CentralName(t.name)).c_str());
        EXPECT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQerrorMessage(c);
        for (int i = 0; i < PQntuples(r); ++i) {
            std::string row = PQgetvalue(r, i, 0);
            for (std::size_t k = 0; k < def->fields.size(); ++k) {
                const int col = static_cast<int>(k + 1);
                row += "|" + Canonical(def->fields[k].type, PQgetisnull(r, i, col) ? nullptr : PQgetvalue(r, i, col));
            }
            out[t.name].insert(row);
        }
        PQclear(r);
    }
    return out;
}

inline TableRows Union(const std::vector<TableRows>& parts) {
    TableRows all;
    for (const TableRows& p : parts)
        for (const auto& [table, rows] : p) all[table].insert(rows.begin(), rows.end());
    return all;
}

// A register's machine data and `count` print-data rows numbered from `first`, written as a decoded answer
// would be, in one transaction.
inline void FillRegister(StoreConnection& store, const std::string& machine, int first, int count) {
    ASSERT_EQ(store.Begin(), 0) << store.LastErrorText();
    Exec(store, "DELETE FROM \"MachineData\"; INSERT INTO \"MachineData\" (\"机器编号\", \"生产日期\") VALUES ('" +
                    machine + "', '20240101')");
    Statement st(store,
                 "INSERT INTO \"InvPrintData\" (\"开票日期发票号\", \"开票日期\", \"发票号\", \"开票类型\","
                 " \"开票总金额\", \"税控码\", \"付款单位\", \"商品名称1\", \"数量1\", \"金额1\")"
                 " VALUES (?1, '20261207', ?2, 1, ?3, '1234567890ABCDEF1234', '付款单位', '商品', 1.5, ?3)");
    for (int n = first; n < first + count; ++n) {
        char number[16];
        std::snprintf(number, sizeof number, "%010d", n);
        const std::string key = std::string("20261207") + number;
        sqlite3_reset(st.get());
        sqlite3_bind_text(st.get(), 1, key.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st.get(), 2, number, -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(st.get(), 3, n % 1000 + 0.25);
        ASSERT_EQ(sqlite3_step(st.get()), SQLITE_DONE) << sqlite3_errmsg(store.Handle());
    }
    ASSERT_EQ(store.Commit(), 0) << store.LastErrorText();
}

inline std::int64_t Waiting(StoreConnection& store) {
    Statement st(store, std::string("SELECT count(*) FROM ") + kOutboxTable);
    return sqlite3_step(st.get()) == SQLITE_ROW ? sqlite3_column_int64(st.get(), 0) : -1;
}

// Starts the service `program` on `dataDir` syncing to `url`, its output discarded, with no processor on the line
// (the service starts all the same, and its sync with it). The caller signals and reaps it.
inline pid_t StartQuietKarvexd(const std::string& program, const std::string& dataDir, const std::string& url) {
    std::vector<std::string> argv = {program,         "--port", "0",      "--data-dir", dataDir,
                                     "--serial-port", "1",      "--sync", url};
    std::vector<std::string> env = {"KARVEX_COM1=" + dataDir + "/no-such-tty", "QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::string(*e).rfind("KARVEX_", 0) != 0) env.emplace_back(*e);
    std::vector<char*> args, envp;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(quiet, 1);
        ::dup2(quiet, 2);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(quiet);
    return pid;
}

}  // namespace karvex::testing
