#include "store/schema_check.h"

#include <sqlcipher/sqlite3.h>

#include <map>
#include <mutex>
#include <tuple>

#include "store/store_codes.h"
#include "store/store_connection.h"

namespace karvex {
namespace {

struct SchemaObject {
    std::string type;
    std::string table;
    std::string sql;
};

using SchemaObjects = std::map<std::string, SchemaObject>;

std::string Text(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

int ReadObjects(StoreConnection& conn, SchemaObjects& out) {
    out.clear();
    Statement stmt(conn, "SELECT type, name, tbl_name, sql FROM sqlite_master");
    if (stmt.PrepareResult() != SQLITE_OK) return stmt.PrepareResult();
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW)
        out[Text(stmt.get(), 1)] = {Text(stmt.get(), 0), Text(stmt.get(), 2), Text(stmt.get(), 3)};
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// What the open steps make in an empty database, once per process.
const SchemaObjects* Expected(std::string& why) {
    static std::mutex mutex;
    static SchemaObjects objects;
    static bool made = false;
    std::lock_guard lock(mutex);
    if (!made) {
        StoreConnection scratch;
        if (scratch.OpenScratch() != result::kSuccess || ReadObjects(scratch, objects) != SQLITE_OK) {
            why = "无法建立用于比较的空数据库：" + scratch.LastErrorText();
            return nullptr;
        }
        made = true;
    }
    return &objects;
}

// The engine's own bookkeeping, which it makes itself.
bool EngineOwn(const std::string& name, const SchemaObject& object) {
    if (name.rfind("sqlite_autoindex_", 0) == 0) return object.type == "index" && object.sql.empty();
    return object.type == "table" && (name == "sqlite_sequence" || name == "sqlite_stat1");
}

std::string KindText(const std::string& type) {
    if (type == "table") return "表";
    if (type == "index") return "索引";
    if (type == "trigger") return "触发器";
    if (type == "view") return "视图";
    return type;
}

std::int32_t Refuse(StoreConnection& conn, const std::string& name, const SchemaObject& object,
                    const std::string& what) {
    return conn.Fail(
        result::kForeignSchemaObject,
        "存储文件 " + conn.File().string() + " 含有" + what + KindText(object.type) + " " + name +
            (object.table.empty() || object.table == name ? std::string() : "（在表 " + object.table + " 上）") +
            "，拒绝使用；存储文件未作任何修改");
}

std::int32_t ReadStore(StoreConnection& conn, SchemaObjects& found) {
    if (int rc = ReadObjects(conn, found); rc != SQLITE_OK) return conn.FailEngine(rc, "读取存储文件结构失败");
    return result::kSuccess;
}

}  // namespace

std::int32_t CheckStoreObjects(StoreConnection& conn) {
    std::string why;
    const SchemaObjects* expected = Expected(why);
    if (expected == nullptr) return conn.Fail(result::kStoreOpenFailed, why);
    SchemaObjects found;
    if (std::int32_t rc = ReadStore(conn, found); rc != result::kSuccess) return rc;
    for (const auto& [name, object] : found) {
        if (EngineOwn(name, object)) continue;
        const auto it = expected->find(name);
        if (object.sql.rfind("CREATE VIRTUAL", 0) == 0) return Refuse(conn, name, object, "虚拟");
        if (it == expected->end() || it->second.type != object.type || it->second.table != object.table)
            return Refuse(conn, name, object, "本系统未建立的");
    }
    return result::kSuccess;
}

std::int32_t CheckStoreObjectTexts(StoreConnection& conn) {
    std::string why;
    const SchemaObjects* expected = Expected(why);
    if (expected == nullptr) return conn.Fail(result::kStoreOpenFailed, why);
    SchemaObjects found;
    if (std::int32_t rc = ReadStore(conn, found); rc != result::kSuccess) return rc;
    for (const auto& [name, object] : found) {
        if (object.type != "trigger" && object.type != "view") continue;
        const auto it = expected->find(name);
        if (it == expected->end() || it->second.sql != object.sql) return Refuse(conn, name, object, "被改动的");
    }
    return result::kSuccess;
}

}  // namespace karvex
