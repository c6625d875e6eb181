#include "sync/fleet_sync.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <libpq-fe.h>
#include <poll.h>
#include <sqlcipher/sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>

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

// libpq's texts end in a newline and may run over several lines. A server's text is the server's to
// choose: it is cut to a length a status line can carry, at a character's start.
std::string Trimmed(const char* text) {
    std::string s = text ? text : "";
    constexpr std::size_t kLongest = 400;
    if (s.size() > kLongest) {
        std::size_t cut = 0;
        while (cut + Utf8CharacterLength(std::string_view(s).substr(cut)) <= kLongest)
            cut += Utf8CharacterLength(std::string_view(s).substr(cut));
        s.resize(cut);
        s += "…";
    }
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
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

// The one value of an answer that must hold exactly one row of at least one column, not NULL.
bool OneValue(const PGresult* r, std::string& value) {
    if (PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) != 1 || PQnfields(r) < 1 || PQgetisnull(r, 0, 0))
        return false;
    const char* v = PQgetvalue(r, 0, 0);
    if (v == nullptr) return false;
    value = v;
    return true;
}

std::string Seconds(std::chrono::milliseconds ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(ms.count()) / 1000);
    return buf;
}

bool NumericHost(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 || ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// Whether libpq will reach the server on this machine only (a socket directory, or a loopback address).
bool LocalHost(const std::string& host) {
    if (host.empty() || host.front() == '/' || host.front() == '@') return true;
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// One value of an outbox row as JSON: numbers as numbers (a real in its shortest exact form), text as a
// string, a blob as hexadecimal text.
void AppendJsonValue(std::string& out, sqlite3_value* v) {
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER: out += std::to_string(sqlite3_value_int64(v)); break;
    case SQLITE_FLOAT: {
        const double d = sqlite3_value_double(v);
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
        out += JsonString(std::string_view(reinterpret_cast<const char*>(sqlite3_value_text(v)),
                                           static_cast<std::size_t>(sqlite3_value_bytes(v))));
        break;
    case SQLITE_BLOB: {
        const auto* b = static_cast<const unsigned char*>(sqlite3_value_blob(v));
        std::string hex;
        BytesToHex(ByteView(b, static_cast<std::size_t>(sqlite3_value_bytes(v))), hex);
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
    // The row in one of two forms, chosen per table and batch (ReadBatch): a JSON array in the store
    // table's column order, then generation and version; or a line of a staged COPY (StagedColumns) when
    // the batch holds many rows of the table (a first sync). Tombstones are always JSON.
    std::string json;
    std::string copy;
    std::string key;  // the table's key value, for messages
    bool tombstone = false;
};

// Rows sharing a register, a table and a kind (rows or tombstones) go in one statement.
struct Group {
    std::string machine;
    const CentralTable* table = nullptr;
    bool tombstones = false;
    std::vector<std::size_t> rows;
};

std::string RowName(const OutboxRow& row) {
    const SyncedTable* t = FindSyncedTable(row.table);
    std::string name = "表 " + row.table + " 中机器编号 " + row.machine + " 的一行";
    if (t != nullptr && *t->key != '\0') name += "（" + std::string(t->key) + " = " + row.key + "）";
    return name + "，发件箱序号 " + std::to_string(row.seq);
}

// One value in COPY's text format: NULL as \N, backslashes doubled, no raw line ends or tabs; numbers,
// text and blobs (hexadecimal) as the JSON form has them.
// `v` is a column of a row being read, with its connection's lock held (ReadBatch).
void AppendCopyValue(std::string& out, sqlite3_value* v) {
    const int type = sqlite3_value_type(v);
    if (type == SQLITE_NULL) {
        out += "\\N";
        return;
    }
    if (type == SQLITE_INTEGER) {
        char buf[24];
        const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, sqlite3_value_int64(v));
        out.append(buf, end);
        return;
    }
    if (type != SQLITE_TEXT) {
        std::string json;
        AppendJsonValue(json, v);
        if (json.size() >= 2 && json.front() == '"') json = json.substr(1, json.size() - 2);
        out += json;
        return;
    }
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
    const auto size = static_cast<std::size_t>(sqlite3_value_bytes(v));
    // Runs without a character to escape go in whole: nearly every value is one such run.
    std::size_t from = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (c != '\\' && c != '\n' && c != '\r' && c != '\t') continue;
        out.append(text + from, i - from);
        out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
        from = i + 1;
    }
    out.append(text + from, size - from);
}

class Session {
public:
    Session(StoreConnection& store, const SyncSettings& settings) : store_(store), settings_(settings) {}

    std::int32_t Connect(std::string& shown) {
        std::vector<std::pair<std::string, std::string>> params;
        std::string why;
        if (std::int32_t rc = ParseCentralAddress(settings_, params, shown, why); rc != 0) return Fail(rc, why);
        for (const auto& [k, v] : params)
            if (k == "host" || k == "hostaddr") remote_ = remote_ || !LocalHost(v);
        const auto deadline = Clock::now() + settings_.connectTimeout;
        if (std::int32_t rc = LookUpHost(params, shown, deadline); rc != 0) return rc;
        std::vector<const char*> keys, values;
        for (const auto& [k, v] : params) {
            keys.push_back(k.c_str());
            values.push_back(v.c_str());
        }
        keys.push_back(nullptr);
        values.push_back(nullptr);
        // Connected step by step, so that neither a server that never answers nor a stop waits on libpq.
        conn_.reset(PQconnectStartParams(keys.data(), values.data(), 0));
        PostgresPollingStatusType state = PGRES_POLLING_WRITING;
        while (conn_ && PQstatus(conn_.get()) != CONNECTION_BAD && state != PGRES_POLLING_OK &&
               state != PGRES_POLLING_FAILED) {
            const Wait w = WaitFor(state == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline);
            if (w == Wait::Stopped) return Fail(result::kSyncStopped, "同步已中止（连接中心数据库 " + shown + " 时）");
            if (w == Wait::TimedOut) {
                conn_.reset();
                return Fail(result::kSyncTimedOut,
                            "中心数据库 " + shown + " 在 " + Seconds(settings_.connectTimeout) + " 秒内没有接受连接");
            }
            state = PQconnectPoll(conn_.get());
        }
        if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
            return Fail(result::kSyncConnectFailed, "无法连接中心数据库 " + shown + "（" +
                                                        Trimmed(conn_ ? PQerrorMessage(conn_.get()) : "") + "）");
        }
        // The server's notices are not the sync's output (the tool prints one JSON object).
        PQsetNoticeProcessor(
            conn_.get(), [](void*, const char*) {}, nullptr);
        // Sent without blocking: a server that stops reading must not hold the sender in a full socket.
        PQsetnonblocking(conn_.get(), 1);
        inClear_ = PQsslInUse(conn_.get()) == 0;
        return 0;
    }

    // libpq looks a host name up in the calling thread before it connects, and neither its time limits nor
    // a stop cut that short: a resolver that does not answer holds it for minutes. A single name is looked up
    // here instead, in a thread of its own that is left behind should it hang, and libpq is given the
    // addresses found (hostaddr) beside the name, which it still uses for the certificate and the password
    // file. Nothing found: libpq looks again and says why.
    std::int32_t LookUpHost(std::vector<std::pair<std::string, std::string>>& params, const std::string& shown,
                            std::chrono::steady_clock::time_point deadline) {
        std::string* host = nullptr;
        for (auto& [k, v] : params) {
            if (k == "hostaddr") return 0;
            if (k == "host") host = &v;
        }
        if (host == nullptr || host->empty() || host->front() == '/' || host->front() == '@' ||
            host->find(',') != std::string::npos || NumericHost(*host))
            return 0;
        struct Found {
            std::mutex mutex;
            std::condition_variable done;
            bool ready = false;
            std::vector<std::string> addresses;
        };
        const auto found = std::make_shared<Found>();
        const auto resolve = settings_.resolve ? settings_.resolve : ResolveHost;
        try {
            std::thread([found, resolve, name = *host] {
                std::vector<std::string> addresses = resolve(name);
                std::lock_guard lock(found->mutex);
                found->addresses = std::move(addresses);
                found->ready = true;
                found->done.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            return 0;  // no thread to spare: libpq looks the name up itself
        }
        std::unique_lock lock(found->mutex);
        while (!found->ready) {
            if (Stopping()) return Fail(result::kSyncStopped, "同步已中止（查找中心数据库 " + shown + " 的地址时）");
            if (Clock::now() >= deadline) {
                return Fail(result::kSyncTimedOut,
                            "中心数据库 " + shown + " 的地址在 " + Seconds(settings_.connectTimeout) + " 秒内没有查到");
            }
            found->done.wait_for(lock, std::chrono::milliseconds(50));
        }
        std::string hosts, addresses;
        for (const std::string& a : found->addresses) {
            hosts += (hosts.empty() ? "" : ",") + *host;
            addresses += (addresses.empty() ? "" : ",") + a;
        }
        if (addresses.empty()) return 0;
        *host = hosts;
        params.emplace_back("hostaddr", addresses);
        return 0;
    }

    PGconn* Conn() const { return conn_.get(); }
    bool InClearOverNetwork() const { return inClear_ && remote_; }

    // A transaction with the time limits set for it alone, which a transaction pooler keeps to the one
    // server connection the transaction runs on.
    // The owner's one-off work (initialising, adding a register): connected and in a transaction, or the
    // code with the reason in Error(). `shown` is the address as it may be shown.
    std::int32_t ConnectAndBegin(std::string& shown) {
        if (const std::int32_t rc = Connect(shown); rc != 0) return rc;
        PgResult r = Begin();
        return Ok(r.get()) ? 0 : FailStatement(r.get(), "中心数据库事务无法开始");
    }

    PgResult Begin() { return Exec(BeginSql()); }

    std::string BeginSql() const {
        const auto ms = [](std::chrono::milliseconds d) { return std::to_string(std::max<long long>(1, d.count())); };
        return "BEGIN; SET LOCAL statement_timeout = " + ms(settings_.statementTimeout) +
               "; SET LOCAL lock_timeout = " + ms(settings_.lockTimeout) +
               "; SET LOCAL idle_in_transaction_session_timeout = " +
               ms(settings_.statementTimeout + settings_.answerGrace);
    }

    // One statement (or, without parameters, several) and its answer. nullptr when no answer came: the
    // time ran out, the attempt was stopped, the connection broke, or the server said nothing; Lost()
    // tells which, and the connection is then given up.
    PgResult Exec(const std::string& sql, const std::vector<std::string>& params = {}) {
        if (!deferredBegin_.empty()) {
            // A batch's BEGIN goes with its first statement that has no parameters: one wait fewer.
            const std::string begin = std::move(deferredBegin_);
            deferredBegin_.clear();
            if (params.empty()) return Send(begin + "; " + sql, params);
            PgResult r = Send(begin, {});
            if (!Ok(r.get())) return r;
        }
        return Send(sql, params);
    }

    PgResult Send(const std::string& sql, const std::vector<std::string>& params) {
        if (!conn_) return nullptr;
        std::vector<const char*> values;
        for (const std::string& p : params) values.push_back(p.c_str());
        const int sent = params.empty() ? PQsendQuery(conn_.get(), sql.c_str())
                                        : PQsendQueryParams(conn_.get(), sql.c_str(), static_cast<int>(values.size()),
                                                            nullptr, values.data(), nullptr, nullptr, 0);
        if (sent == 0) return Lose(Lost::Broken);
        const auto deadline = Clock::now() + settings_.statementTimeout + settings_.answerGrace;
        if (!Flush(deadline)) return nullptr;
        return Gather(deadline);
    }

    // COPY of `data` (lines of COPY's text format) after a COPY ... FROM STDIN statement.
    PgResult Copy(const std::string& sql, const std::string& data) {
        PgResult r = Exec(sql);
        if (r == nullptr || PQresultStatus(r.get()) != PGRES_COPY_IN) return r;
        const auto deadline = Clock::now() + settings_.statementTimeout + settings_.answerGrace;
        constexpr std::size_t kChunk = 1 << 16;
        for (std::size_t at = 0; at < data.size();) {
            const int n = static_cast<int>(std::min(kChunk, data.size() - at));
            const int put = PQputCopyData(conn_.get(), data.data() + at, n);
            if (put < 0) return Lose(Lost::Broken);
            if (put == 0 || PQisnonblocking(conn_.get())) {
                if (!Flush(deadline)) return nullptr;
            }
            if (put > 0) at += static_cast<std::size_t>(n);
        }
        int end;
        while ((end = PQputCopyEnd(conn_.get(), nullptr)) == 0) {
            if (!Flush(deadline)) return nullptr;
        }
        if (end < 0 || !Flush(deadline)) return end < 0 ? Lose(Lost::Broken) : nullptr;
        // The server's time limit counts from here: the work is this side's.
        RunIdleWork();
        return Gather(Clock::now() + settings_.statementTimeout + settings_.answerGrace);
    }

    // The version the central schema is at; 0 when there is none. Every part of the answer is checked.
    std::int32_t CentralVersion(int& version) {
        version = 0;
        std::string value;
        PgResult r = Exec("SELECT to_regclass('" + std::string(kCentralSchemaName) + ".schema_version') IS NOT NULL");
        if (!Ok(r.get())) return FailStatement(r.get(), "读取中心数据库版本失败");
        if (!OneValue(r.get(), value) || (value != "t" && value != "f")) return BadAnswer(r.get(), "架构是否存在");
        if (value == "f") return 0;
        r = Exec("SELECT COALESCE(max(version), 0) FROM " + std::string(kCentralSchemaName) + ".schema_version");
        if (!Ok(r.get())) return FailStatement(r.get(), "读取中心数据库版本失败");
        long long v = -1;
        if (!OneValue(r.get(), value) ||
            std::from_chars(value.data(), value.data() + value.size(), v).ptr != value.data() + value.size() || v < 0 ||
            v > 1000000) {
            return BadAnswer(r.get(), "架构版本");
        }
        version = static_cast<int>(v);
        return 0;
    }

    std::int32_t BadAnswer(const PGresult* r, const std::string& what) {
        std::string got = "状态 " + std::string(PQresStatus(PQresultStatus(r))) + "，" + std::to_string(PQntuples(r)) +
                          " 行 " + std::to_string(PQnfields(r)) + " 列";
        if (PQntuples(r) > 0 && PQnfields(r) > 0)
            got += PQgetisnull(r, 0, 0) ? "，值为 NULL" : "，值为 “" + Trimmed(PQgetvalue(r, 0, 0)) + "”";
        conn_.reset();
        return Fail(result::kSyncBadAnswer, "中心数据库对" + what + "的回答不符合预期（" + got + "）");
    }

    std::int32_t FailStatement(const PGresult* r, const std::string& what) {
        if (r == nullptr) {
            switch (lost_) {
            case Lost::TimedOut:
                return Fail(result::kSyncTimedOut, what + "（中心数据库在 " +
                                                       Seconds(settings_.statementTimeout + settings_.answerGrace) +
                                                       " 秒内没有回答，已断开连接）");
            case Lost::Stopped: return Fail(result::kSyncStopped, what + "（同步已中止）");
            case Lost::NoAnswer: return Fail(result::kSyncBadAnswer, what + "（中心数据库没有给出回答）");
            default: return Fail(result::kSyncConnectionLost, what + "（" + lostText_ + "）");
            }
        }
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
        PgResult r = Begin();
        if (!Ok(r.get())) return FailStatement(r.get(), "中心数据库事务无法开始");
        if (std::int32_t rc = CentralVersion(version); rc != 0) return rc;
        // A centre one version ahead keeps what this version writes: the head office upgrades first.
        if (version != kCentralSchemaVersion && version != kCentralSchemaVersion + 1) {
            return Fail(result::kSyncSchemaMismatch,
                        version == 0 ? std::string("中心数据库还没有同步架构，请先执行 karvex sync --init")
                                     : "中心数据库架构版本为 " + std::to_string(version) + "，本程序需要版本 " +
                                           std::to_string(kCentralSchemaVersion) + " 或 " +
                                           std::to_string(kCentralSchemaVersion + 1));
        }
        if (std::int32_t rc = Greet(); rc != 0) return rc;
        r = Exec("COMMIT");
        if (!Ok(r.get())) return FailStatement(r.get(), "中心数据库提交失败");
        // The store's part of a batch (reading the next rows, removing the committed ones) is done while the
        // server works on the batch before it, in this thread, during the wait for the server's answer.
        std::vector<OutboxRow> batch;
        if (std::int32_t rc = ReadBatch(batch, 0); rc != 0) return rc;
        // A long outbox (a first sync) costs nearly all the store's work, and a batch's delete more than its
        // reading: its committed rows are then removed through a second connection in a thread of its own
        // while this one reads on. Only where the store writes ahead, so that neither connection waits for
        // the other, and only for many batches, an opening costing as much as a few of them (the key may
        // have to be derived again). Without it the rows are removed here.
        StoreConnection beside;
        std::string besideWhy;
        std::future<std::int32_t> removing;  // declared last: its end waits for the thread
        if (store_.WritesAhead() && LongOutbox(batch) && beside.OpenBeside(store_) == 0) {
            sqlite3_busy_timeout(beside.Handle(), 10000);
        }
        std::int64_t removeUpTo = 0;  // committed centrally, still in the outbox
        std::size_t removeCount = 0;
        // `more`: the sync goes on, so the removal may run beside; else it is done before this returns.
        const auto removeCommitted = [&](bool more) {
            std::int32_t rc = 0;
            if (removing.valid() && (rc = removing.get()) != 0) rc = Fail(rc, besideWhy);
            if (rc == 0 && removeCount > 0) {
                if (more && beside.IsOpen()) {
                    try {
                        removing = std::async(std::launch::async,
                                              [&beside, &besideWhy, upTo = removeUpTo, count = removeCount] {
                                                  return Remove(beside, upTo, count, besideWhy);
                                              });
                    } catch (const std::system_error&) {
                        // No thread to spare: removed here below.
                    }
                }
                if (!removing.valid() && (rc = Remove(store_, removeUpTo, removeCount, besideWhy)) != 0)
                    rc = Fail(rc, besideWhy);
            }
            removeCount = 0;
            return rc;
        };
        while (!batch.empty()) {
            std::vector<OutboxRow> next;
            std::int32_t localRc = 0;
            bool readAhead = false;
            const std::int64_t after = batch.back().seq;
            idle_ = [&] {
                localRc = removeCommitted(true);
                if (localRc == 0 && !Stopping()) {
                    localRc = ReadBatch(next, after);
                    readAhead = localRc == 0;
                }
            };
            std::size_t committed = 0;
            const std::int32_t rc = SendBatch(batch, committed);
            const std::string sendError = error_;
            RunIdleWork();
            if (committed > 0) {
                removeUpTo = batch[committed - 1].seq;
                removeCount = committed;
                sent += static_cast<std::int64_t>(committed);
            }
            if (rc != 0 || localRc != 0 || !readAhead) {
                const std::int32_t removed = removeCommitted(false);
                if (rc != 0) return Fail(rc, sendError);
                if (localRc != 0) return localRc;
                if (removed != 0) return removed;
                if (Stopping()) return Fail(result::kSyncStopped, "同步已中止");
            }
            if (settings_.afterBatch && committed > 0) settings_.afterBatch(sent);
            batch = std::move(next);
        }
        return removeCommitted(false);
    }

private:
    using Clock = std::chrono::steady_clock;
    enum class Wait { Ready, TimedOut, Stopped };
    enum class Lost { None, TimedOut, Stopped, Broken, NoAnswer };

    bool Stopping() const { return settings_.stop != nullptr && settings_.stop->load(); }

    // Waits for the connection's socket in slices short enough to see a stop in time.
    Wait WaitFor(short events, Clock::time_point deadline) {
        for (;;) {
            if (Stopping()) return Wait::Stopped;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return Wait::TimedOut;
            pollfd p{PQsocket(conn_.get()), events, 0};
            if (p.fd < 0) return Wait::Ready;  // libpq finds the broken connection itself
            const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
            if (n > 0 || (n < 0 && errno != EINTR)) return Wait::Ready;
        }
    }

    // The store's work waiting to be done (idle_), done once while the server takes a COPY's rows.
    void RunIdleWork() {
        if (!idle_) return;
        const std::function<void()> work = std::move(idle_);
        idle_ = nullptr;
        work();
    }

    std::nullptr_t Lose(Lost why) {
        lost_ = why;
        lostText_ = Trimmed(conn_ ? PQerrorMessage(conn_.get()) : "");
        if (lostText_.empty()) lostText_ = "连接已断开";
        // Given up without waiting on it: closing sends at most a goodbye the socket takes without blocking.
        conn_.reset();
        return nullptr;
    }

    Lost WaitLost(Wait w) { return w == Wait::Stopped ? Lost::Stopped : Lost::TimedOut; }

    bool Flush(Clock::time_point deadline) {
        for (;;) {
            const int f = PQflush(conn_.get());
            if (f == 0) return true;
            if (f < 0) return Lose(Lost::Broken), false;
            const Wait w = WaitFor(POLLOUT | POLLIN, deadline);
            if (w != Wait::Ready) return Lose(WaitLost(w)), false;
            // The server may answer (an error) before it has read everything.
            if (!PQconsumeInput(conn_.get())) return Lose(Lost::Broken), false;
        }
    }

    // Every result of the statement(s): the first failure, else the last answer.
    PgResult Gather(Clock::time_point deadline) {
        PgResult failed, last;
        for (;;) {
            while (PQisBusy(conn_.get())) {
                const Wait w = WaitFor(POLLIN, deadline);
                if (w != Wait::Ready) return Lose(WaitLost(w));
                if (!PQconsumeInput(conn_.get())) return Lose(Lost::Broken);
            }
            PgResult r(PQgetResult(conn_.get()));
            if (r == nullptr) break;
            const ExecStatusType status = PQresultStatus(r.get());
            if (status == PGRES_COPY_IN) return r;
            // A COPY the server wants to send is nothing this sync asked for.
            if (status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) return Lose(Lost::NoAnswer);
            if (!Ok(r.get())) {
                if (!failed) failed = std::move(r);
            } else {
                last = std::move(r);
            }
            if (PQstatus(conn_.get()) == CONNECTION_BAD) break;
        }
        if (failed) return failed;
        if (last) return last;
        return Lose(PQstatus(conn_.get()) == CONNECTION_BAD ? Lost::Broken : Lost::NoAnswer);
    }

    // The register says it is there (last_seen), and any card password an older version sent is blanked.
    std::int32_t Greet() {
        std::string machine;
        if (std::int32_t rc = CurrentMachine(machine); rc != 0) return rc;
        if (machine.empty()) return 0;
        PgResult r = Exec("INSERT INTO " + std::string(kCentralSchemaName) +
                              ".registers (machine_no) VALUES ($1) ON CONFLICT (machine_no) DO UPDATE"
                              " SET last_seen = now()",
                          {machine});
        if (!Ok(r.get())) return FailStatement(r.get(), "更新中心数据库的收款机记录失败");
        for (const CentralTable& t : CentralTables()) {
            for (const CentralColumn& c : t.columns) {
                if (!WithheldColumn(t.name, c.name)) continue;
                r = Exec("UPDATE " + CentralName(t.name) + " SET " + PgIdentifier(c.name) +
                             " = NULL WHERE machine_no = $1 AND " + PgIdentifier(c.name) + " IS NOT NULL",
                         {machine});
                if (!Ok(r.get())) return FailStatement(r.get(), "清除中心数据库中的税控卡使用口令失败");
            }
        }
        return 0;
    }

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

    const std::vector<int>& Staged(const std::string& table) {
        auto it = staged_.find(table);
        if (it == staged_.end()) {
            const CentralTable* central = FindCentralTable(table);
            it = staged_.emplace(table, central ? StagedColumns(*central, Columns(table)) : std::vector<int>{}).first;
        }
        return it->second;
    }

    // Whether the table's rows have a central form with this store's columns; asked once per table and run.
    bool HasCentralPlace(const std::string& table) {
        auto it = places_.find(table);
        if (it == places_.end()) {
            const CentralTable* central = FindCentralTable(table);
            it = places_.emplace(table, central != nullptr && !UpsertSql(*central, Columns(table)).empty()).first;
        }
        return it->second;
    }

    std::int32_t CurrentMachine(std::string& machine) {
        machine.clear();
        if (!store_.IsOpen()) return 0;
        Statement st(store_, "SELECT \"机器编号\" FROM \"MachineData\" ORDER BY \"karvex_row\" DESC LIMIT 1");
        if (st.PrepareResult() != SQLITE_OK) return StoreFail(st.PrepareResult());
        if (sqlite3_step(st.get()) == SQLITE_ROW && sqlite3_column_type(st.get(), 0) != SQLITE_NULL) {
            machine = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
        }
        return 0;
    }

    std::int32_t Generation(std::int64_t& generation) {
        Statement st(store_, std::string("SELECT COALESCE(generation, 0) FROM ") + kSyncStateTable + " WHERE id = 1");
        if (st.PrepareResult() != SQLITE_OK) return StoreFail(st.PrepareResult());
        generation = sqlite3_step(st.get()) == SQLITE_ROW ? sqlite3_column_int64(st.get(), 0) : 0;
        return 0;
    }

    // Whether the outbox holds many batches more than `batch` (its first one): told by the range of its
    // counter, which a replaced copy leaves a gap in, so a guess from above.
    bool LongOutbox(const std::vector<OutboxRow>& batch) {
        constexpr std::int64_t kManyBatches = 25;
        const std::int64_t rows = std::max(1, settings_.batchRows);
        if (static_cast<std::int64_t>(batch.size()) < rows) return false;
        Statement st(store_, std::string("SELECT max(seq) FROM ") + kOutboxTable);
        return st.PrepareResult() == SQLITE_OK && sqlite3_step(st.get()) == SQLITE_ROW &&
               sqlite3_column_int64(st.get(), 0) - batch.back().seq >= kManyBatches * rows;
    }

    std::int32_t StoreFail(int rc) {
        store_.FailEngine(rc == SQLITE_OK ? sqlite3_extended_errcode(store_.Handle()) : rc, "读取同步发件箱失败");
        return Fail(result::kExecutionFailed, store_.LastErrorText());
    }

    // The next rows in capture order, read in one short statement so that the store's writer is never kept
    // waiting while the central server is slow.
    std::int32_t ReadBatch(std::vector<OutboxRow>& batch, std::int64_t after) {
        std::string current;
        if (std::int32_t rc = CurrentMachine(current); rc != 0) return rc;
        std::int64_t generation = 0;
        if (std::int32_t rc = Generation(generation); rc != 0) return rc;
        if (!reading_) {
            // Prepared once per run, with the values of the widest synced table this store has and no more.
            std::size_t widest = 0;
            for (const SyncedTable& t : SyncedTables()) widest = std::max(widest, Columns(t.name).size());
            std::string sql = "SELECT seq, tbl, machine, ky, del";
            widest = std::min<std::size_t>(widest, kOutboxValueColumns);
            for (std::size_t i = 1; i <= widest; ++i) sql += ", v" + std::to_string(i);
            sql += std::string(" FROM ") + kOutboxTable + " WHERE seq > ?1 ORDER BY seq LIMIT ?2";
            reading_ = std::make_unique<Statement>(store_, sql);
            readColumns_ = static_cast<int>(widest);
        }
        Statement& st = *reading_;
        if (st.PrepareResult() != SQLITE_OK) return StoreFail(st.PrepareResult());
        sqlite3_reset(st.get());
        sqlite3_bind_int64(st.get(), 1, after);
        sqlite3_bind_int(st.get(), 2, std::max(1, settings_.batchRows));
        const std::string version = '\t' + std::to_string(generation) + '\t';
        constexpr int kFirstValue = 5;
        // The table of the row before, looked up again only when the table changes.
        std::string lastTable;
        bool lastPlace = false;
        const std::vector<int>* lastStaged = nullptr;
        batch.reserve(static_cast<std::size_t>(std::max(1, settings_.batchRows)));
        // The connection's lock taken once for the whole read rather than by every call for a value: this
        // thread alone uses the connection, and the values are read while it is held.
        sqlite3_mutex* lock = sqlite3_db_mutex(store_.Handle());
        sqlite3_mutex_enter(lock);
        const std::unique_ptr<sqlite3_mutex, void (*)(sqlite3_mutex*)> held(lock, sqlite3_mutex_leave);
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
            row.tombstone = sqlite3_column_int(st.get(), 4) != 0;
            if (row.machine.empty()) {
                // Rows before this one can go; this one waits for the machine data.
                if (!batch.empty()) break;
                sqlite3_reset(st.get());
                return Fail(result::kSyncNoMachineNumber,
                            "发件箱中有 " + row.table + " 的数据，但存储中还没有机器编号，请先联机读取机器数据");
            }
            if (lastStaged == nullptr || row.table != lastTable) {
                lastTable = row.table;
                lastPlace = HasCentralPlace(row.table);
                lastStaged = &Staged(row.table);
            }
            if (!lastPlace) {
                // Sending on would delete the row from the outbox without a place for it centrally.
                if (!batch.empty()) break;
                sqlite3_reset(st.get());
                return Fail(result::kSyncSchemaMismatch,
                            "发件箱中有表 " + row.table + " 的数据，本程序的中心架构中没有它的位置");
            }
            if (row.tombstone) {
                row.json =
                    "[" + JsonString(row.key) + "," + std::to_string(generation) + "," + std::to_string(row.seq) + "]";
            } else {
                // Rows are read in COPY form only: a small group's JSON is made from it when it is sent
                // (JsonOf), so a first sync's millions of rows are never turned into JSON.
                row.copy.reserve(256);
                row.copy = row.machine;  // digits, as ValidMachine and the processor have them
                for (int i : *lastStaged) {
                    row.copy += '\t';
                    if (i < readColumns_) {
                        AppendCopyValue(row.copy, sqlite3_column_value(st.get(), kFirstValue + i));
                    } else {
                        row.copy += "\\N";
                    }
                }
                row.copy += version;
                char seq[24];
                row.copy.append(seq, std::to_chars(seq, seq + sizeof seq, row.seq).ptr);
                row.copy += '\n';
            }
            batch.push_back(std::move(row));
        }
        // The read ends here: a statement left stepping would hold its snapshot of the store.
        sqlite3_reset(st.get());
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) return StoreFail(SQLITE_OK);
        return 0;
    }

    // Rows in COPY form into the central table: straight in where that may be tried, else (or when the
    // centre refuses it) through the staging table and one upsert. The last answer; nullptr when the
    // connection was lost.
    PgResult CopyGroup(const CentralTable& table, const std::string& lines) {
        const std::vector<std::string>& cols = Columns(table.name);
        if (MayCopyStraight(table)) {
            const bool known = straight_.count(table.name) != 0;
            PgResult r;
            if (!known) {
                r = Exec("SAVEPOINT karvex_copy");
                if (!Ok(r.get())) return r;
                // Asked once per table and run; an error is undone with the savepoint.
                PgResult q = Exec("SELECT row_security_active($1::regclass)", {CentralName(table.name)});
                if (q == nullptr) return q;
                std::string value;
                straight_[table.name] = OneValue(q.get(), value) && value == "f";
            }
            if (straight_[table.name]) {
                // Each exchange with the server is a wait: the savepoint goes with the COPY, and is left for
                // the batch's COMMIT to end.
                r = Copy(known ? "SAVEPOINT karvex_copy; " + DirectCopySql(table, cols) : DirectCopySql(table, cols),
                         lines);
                if (r == nullptr || Ok(r.get())) return r;
                // Rows the centre has already (a batch sent again after a killed sync) or a value it refuses:
                // the upsert decides, and names a refused row. The rest of this run goes that way too, a centre
                // that had one batch likely having the next.
                straight_[table.name] = false;
            }
            r = Exec("ROLLBACK TO SAVEPOINT karvex_copy");
            if (!Ok(r.get())) return r;
        }
        PgResult r = Exec(StageSql(table));
        if (Ok(r.get())) r = Copy(StageCopySql(table, cols), lines);
        if (Ok(r.get())) r = Exec(StagedUpsertSql(table, cols));
        return r;
    }

    // Whether rows of the table may be COPYed straight into it (DirectCopySql): not when tombstones may hold
    // rows back, nor once the server said row-level security binds this login or refused a direct COPY.
    bool MayCopyStraight(const CentralTable& table) const {
        const SyncedTable* synced = FindSyncedTable(table.name);
        if (synced == nullptr || synced->mirrorsDeletes) return false;
        const auto it = straight_.find(table.name);
        return it == straight_.end() || it->second;
    }

    std::vector<Group> Grouped(const std::vector<OutboxRow>& batch, std::size_t from, std::size_t to) {
        std::vector<Group> groups;
        std::map<std::tuple<std::string, std::string, bool>, std::size_t> index;
        std::size_t group = 0;
        for (std::size_t i = from; i < to; ++i) {
            const OutboxRow& row = batch[i];
            // Rows come in runs of one register and table: looked up only where a run ends.
            const OutboxRow* before = i > from ? &batch[i - 1] : nullptr;
            if (before == nullptr || before->machine != row.machine || before->table != row.table ||
                before->tombstone != row.tombstone) {
                auto [it, added] = index.try_emplace({row.machine, row.table, row.tombstone}, groups.size());
                if (added) groups.push_back({row.machine, FindCentralTable(row.table), row.tombstone, {}});
                group = it->second;
            }
            groups[group].rows.push_back(i);
        }
        return groups;
    }

    // A row read in COPY form as UpsertSql takes it: a JSON array of the store's columns in their order
    // (NULL where the centre has no place for one, or it is withheld), then generation and version. Values
    // go as JSON strings; the upsert reads every value as text and converts it to its column's type.
    void AppendJson(std::string& out, const OutboxRow& row) {
        const std::vector<std::string>& cols = Columns(row.table);
        const std::vector<int>& staged = Staged(row.table);
        std::vector<std::string_view> fields;
        std::string_view line(row.copy);
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        for (std::size_t at = 0; at <= line.size();) {
            const std::size_t tab = std::min(line.find('\t', at), line.size());
            fields.push_back(line.substr(at, tab - at));
            at = tab + 1;
        }
        // machine, the staged values, generation, version
        if (fields.size() != staged.size() + 3) throw std::logic_error("发件箱行的 COPY 形式列数不符");
        std::vector<std::string_view> values(cols.size());
        std::vector<bool> present(cols.size(), false);
        for (std::size_t k = 0; k < staged.size(); ++k) {
            values[static_cast<std::size_t>(staged[k])] = fields[k + 1];
            present[static_cast<std::size_t>(staged[k])] = true;
        }
        out += '[';
        for (std::size_t i = 0; i < cols.size(); ++i) {
            if (i > 0) out += ',';
            if (!present[i] || values[i] == "\\N") {
                out += "null";
                continue;
            }
            std::string text;
            for (std::size_t c = 0; c < values[i].size(); ++c) {
                if (values[i][c] != '\\' || c + 1 == values[i].size()) {
                    text += values[i][c];
                    continue;
                }
                const char e = values[i][++c];
                text += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
            }
            out += JsonString(text);
        }
        if (cols.empty()) out += "null";
        out += ',';
        out.append(fields[fields.size() - 2]);
        out += ',';
        out.append(fields.back());
        out += ']';
    }

    // Upserts rows [from, to) of the batch; the transaction is the caller's. A large group (a first sync)
    // is copied into a staging table and upserted from there in one statement.
    // With `tail`, the statements that mark the registers as synced are added to it, to go with the COMMIT,
    // where a machine number allows them as text.
    PgResult Upsert(const std::vector<OutboxRow>& batch, std::size_t from, std::size_t to,
                    std::string* tail = nullptr) {
        std::map<std::string, bool> machines;
        for (const Group& g : Grouped(batch, from, to)) {
            PgResult r;
            if (g.tombstones) {
                std::string rows = "[";
                for (std::size_t i : g.rows) {
                    if (rows.size() > 1) rows += ',';
                    rows += batch[i].json;
                }
                r = Exec(DeleteSql(*g.table), {g.machine, rows + "]"});
            } else if (static_cast<int>(g.rows.size()) >= std::max(1, settings_.copyFromRows)) {
                std::string lines;
                std::size_t size = 0;
                for (std::size_t i : g.rows) size += batch[i].copy.size();
                lines.reserve(size);
                for (std::size_t i : g.rows) lines += batch[i].copy;
                r = CopyGroup(*g.table, lines);
            } else {
                std::string rows = "[";
                for (std::size_t i : g.rows) {
                    if (rows.size() > 1) rows += ',';
                    AppendJson(rows, batch[i]);
                }
                r = Exec(UpsertSql(*g.table, Columns(g.table->name)), {g.machine, rows + "]"});
            }
            if (!Ok(r.get())) return r;
            machines[g.machine] = true;
        }
        for (const auto& [machine, unused] : machines) {
            if (tail != nullptr && !machine.empty() && machine.size() <= 32 &&
                std::all_of(machine.begin(), machine.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                *tail += "INSERT INTO " + std::string(kCentralSchemaName) + ".registers (machine_no) VALUES ('" +
                         machine + "') ON CONFLICT (machine_no) DO UPDATE SET last_sync = now(), last_seen = now(); ";
                continue;
            }
            PgResult r = Exec("INSERT INTO " + std::string(kCentralSchemaName) +
                                  ".registers (machine_no) VALUES ($1) ON CONFLICT (machine_no) DO UPDATE"
                                  " SET last_sync = now(), last_seen = now()",
                              {machine});
            if (!Ok(r.get())) return r;
        }
        return nullptr;
    }

    // One batch in one transaction. `committed` tells how many leading rows the server committed.
    std::int32_t SendBatch(const std::vector<OutboxRow>& batch, std::size_t& committed) {
        committed = 0;
        // Begun by the batch's first statement (Exec); one refused says so with the batch's failure.
        deferredBegin_ = BeginSql();
        std::string tail;
        PgResult r = Upsert(batch, 0, batch.size(), &tail);
        if (r == nullptr && conn_) {
            r = Exec(tail + "COMMIT");
            if (r != nullptr && !Ok(r.get()) && PQtransactionStatus(conn_.get()) == PQTRANS_INERROR) {
                // Refused before the COMMIT (the registers' row): the transaction waits to be undone.
                const std::int32_t code = FailStatement(r.get(), "同步一批数据失败，本批未提交");
                Exec("ROLLBACK");
                return code;
            }
            // A COMMIT whose answer was lost may have committed or not: the rows stay and are sent again,
            // which changes nothing if they were.
            if (!Ok(r.get())) return FailStatement(r.get(), "中心数据库提交失败");
            committed = batch.size();
            return 0;
        }
        if (r == nullptr || Classify(r.get(), conn_.get()) != Failure::Data) {
            std::int32_t code = FailStatement(r.get(), "同步一批数据失败，本批未提交");
            Exec("ROLLBACK");
            return code;
        }
        Exec("ROLLBACK");
        return FindRefusedRow(batch, committed);
    }

    // Row by row, to name the refused one and commit the rows before it.
    std::int32_t FindRefusedRow(const std::vector<OutboxRow>& batch, std::size_t& committed) {
        PgResult r = Begin();
        if (!Ok(r.get())) return FailStatement(r.get(), "中心数据库事务无法开始");
        for (std::size_t i = 0; i < batch.size(); ++i) {
            r = Exec("SAVEPOINT karvex_row");
            if (!Ok(r.get())) return FailStatement(r.get(), "同步一批数据失败，本批未提交");
            r = Upsert(batch, i, i + 1);
            if (r == nullptr && conn_) {
                Exec("RELEASE SAVEPOINT karvex_row");
                continue;
            }
            const Failure f = r == nullptr ? Failure::Connection : Classify(r.get(), conn_.get());
            std::int32_t code = FailStatement(
                r.get(), f == Failure::Data ? "中心数据库拒绝了" + RowName(batch[i]) : "同步一批数据失败，本批未提交");
            if (f == Failure::Connection) return code;
            Exec("ROLLBACK TO SAVEPOINT karvex_row");
            if (i > 0) {
                PgResult c = Exec("COMMIT");
                if (!Ok(c.get())) return FailStatement(c.get(), "中心数据库提交失败");
                committed = i;
            } else {
                Exec("ROLLBACK");
            }
            return code;
        }
        // Refused together, taken one by one: whatever it was is gone; commit them all.
        r = Exec("COMMIT");
        if (!Ok(r.get())) return FailStatement(r.get(), "中心数据库提交失败");
        committed = batch.size();
        return 0;
    }

    // The committed rows leave the outbox, and the sync state counts them, in one store transaction: the
    // only time the sync writes the store, and as short as a batch's delete.
    //
    // Not synced to disk on its own: a delete lost with the power sends its rows again, which changes nothing
    // centrally (the same versions), and the next sale's commit syncs it with its own.
    // `conn` is the sync's own connection or the one beside it; `why` says what failed.
    static std::int32_t Remove(StoreConnection& conn, std::int64_t lastSeq, std::size_t count, std::string& why) {
        StoreConnection::UnsyncedCommits unsynced(conn);
        StoreTransaction tx(conn);
        std::int32_t rc = tx.BeginResult();
        if (rc == 0) {
            rc = conn.Exec(std::string("DELETE FROM ") + kOutboxTable + " WHERE seq <= " + std::to_string(lastSeq) +
                           "; UPDATE " + kSyncStateTable + " SET rows_sent = rows_sent + " + std::to_string(count) +
                           " WHERE id = 1;");
        }
        if (rc == 0) rc = tx.Commit();
        if (rc != 0) {
            why = "中心数据库已收到本批数据，但本地发件箱未能更新，下次同步会重发（" + conn.LastErrorText() + "）";
        }
        return rc;
    }

    StoreConnection& store_;
    const SyncSettings& settings_;
    PgConn conn_;
    bool remote_ = false;
    bool inClear_ = false;
    Lost lost_ = Lost::None;
    std::string lostText_;
    std::map<std::string, std::vector<std::string>> columns_;
    std::map<std::string, bool> places_;
    std::map<std::string, std::vector<int>> staged_;
    std::map<std::string, bool> straight_;
    std::string deferredBegin_;           // a batch's BEGIN, sent with its first statement (Exec)
    std::unique_ptr<Statement> reading_;  // the outbox's rows after a given one (ReadBatch)
    int readColumns_ = 0;
    std::function<void()> idle_;
    std::string error_;
};

}  // namespace

std::vector<std::string> ResolveHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::vector<std::string> out;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return out;
    for (const addrinfo* a = list; a != nullptr && out.size() < 8; a = a->ai_next) {
        char text[NI_MAXHOST];
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
        if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
    }
    ::freeaddrinfo(list);
    return out;
}

std::string NowUtc() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

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
        // libpq quotes the part it could not read, which may be a password with a typing mistake in it.
        std::string text = Trimmed(err);
        const std::string hidden = "\"…\"";
        for (std::size_t open = text.find('"'); open != std::string::npos;
             open = text.find('"', open + hidden.size())) {
            const std::size_t close = text.find('"', open + 1);
            text.replace(open, close == std::string::npos ? std::string::npos : close - open + 1, hidden);
        }
        why = "中心数据库地址无效（" + text + "）";
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
    auto part = [&](const char* key) {
        auto it = given.find(key);
        return it == given.end() ? std::string() : it->second;
    };
    // libpq's own limit per host, for an address naming several; the whole attempt has connectTimeout.
    given.try_emplace("connect_timeout",
                      std::to_string(std::max<long long>(2, (settings.connectTimeout.count() + 999) / 1000)));
    given.try_emplace("application_name", "karvex-sync");
    // Startup parameters a transaction pooler passes on, instead of SET commands that stay on a pooled
    // server connection.
    given.try_emplace("client_encoding", "UTF8");
    given.try_emplace("keepalives", "1");
    given.try_emplace("keepalives_idle", std::to_string(settings.keepaliveIdle));
    given.try_emplace("keepalives_interval", std::to_string(settings.keepaliveInterval));
    given.try_emplace("keepalives_count", std::to_string(settings.keepaliveCount));
    // The rows go to another machine only encrypted and to the server whose name the certificate bears,
    // unless the address (or the environment or a service file) says otherwise.
    if (part("sslmode").empty() && part("service").empty() && std::getenv("PGSSLMODE") == nullptr) {
        bool local = true;
        for (const char* key : {"host", "hostaddr"}) {
            const std::string hosts = part(key);
            for (std::size_t at = 0; at <= hosts.size();) {
                const std::size_t comma = std::min(hosts.find(',', at), hosts.size());
                if (!LocalHost(hosts.substr(at, comma - at))) local = false;
                at = comma + 1;
            }
        }
        if (std::getenv("PGHOST") != nullptr && !LocalHost(std::getenv("PGHOST"))) local = false;
        if (!local) given["sslmode"] = "verify-full";
    }
    for (const auto& [k, v] : given) params.emplace_back(k, v);
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
                                           std::chrono::milliseconds cap, double jitter) {
    std::chrono::milliseconds delay = period;
    for (int i = 0; i < failures && delay < cap; ++i) delay *= 2;
    delay = std::min(delay, cap);
    if (failures > 0) {
        jitter = std::clamp(jitter, 0.0, 1.0);
        delay = delay / 2 +
                std::chrono::milliseconds(static_cast<long long>(static_cast<double>(delay.count() / 2) * jitter));
    }
    return delay;
}

namespace {

// The lock of one sync per store: a file beside the store, locked for the attempt. The system drops the
// lock when its holder ends, however it ends.
class SyncLock {
public:
    static std::filesystem::path PathOf(const std::filesystem::path& store) { return store.string() + ".sync-lock"; }

    ~SyncLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    // 0, or kSyncAlreadyRunning with the holder's process id in `why`.
    std::int32_t Acquire(const std::filesystem::path& store, std::string& why) {
        fd_ = ::open(PathOf(store).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0) return 0;  // a directory without room for the lock: the sync goes on unguarded
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            char buf[32] = {};
            const ssize_t n = ::pread(fd_, buf, sizeof buf - 1, 0);
            std::string holder = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
            holder.erase(std::remove_if(holder.begin(), holder.end(), [](char c) { return c < '0' || c > '9'; }),
                         holder.end());
            ::close(fd_);
            fd_ = -1;
            why = "另一个同步（进程 " + (holder.empty() ? std::string("未知") : holder) +
                  "）正在发送这个存储的发件箱，本次不再发送";
            return result::kSyncAlreadyRunning;
        }
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd_, 0) == 0) ::pwrite(fd_, pid.data(), pid.size(), 0);
        return 0;
    }

private:
    int fd_ = -1;
};

bool ValidLogin(const std::string& login) {
    if (login.empty() || login.size() > 63 || (login[0] >= '0' && login[0] <= '9')) return false;
    return std::all_of(login.begin(), login.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
}

bool ValidMachine(const std::string& machine) {
    return !machine.empty() && machine.size() <= 32 &&
           std::all_of(machine.begin(), machine.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool SyncUnderWay(const std::filesystem::path& storeFile) {
    const int fd = ::open(SyncLock::PathOf(storeFile).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

std::int32_t AddRegister(const SyncSettings& settings, const std::string& login, const std::string& machine,
                         std::string& message) {
    if (!ValidLogin(login)) {
        message =
            "收款机登录名 “" + Trimmed(login.c_str()) + "” 无效：请用 1 到 63 个小写字母、数字或下划线，不以数字开头";
        return result::kSyncBadRegister;
    }
    if (!ValidMachine(machine)) {
        message = "机器编号 “" + Trimmed(machine.c_str()) + "” 无效：应为 1 到 32 位数字";
        return result::kSyncBadRegister;
    }
    StoreConnection none;
    Session s(none, settings);
    auto fail = [&](std::int32_t code) {
        message = s.Error();
        return code;
    };
    std::string shown;
    std::int32_t rc = s.ConnectAndBegin(shown);
    if (rc != 0) return fail(rc);
    PgResult r;
    int version = 0;
    if ((rc = s.CentralVersion(version)) != 0) return fail(rc);
    if (version < kCentralSchemaVersion) {
        message = "中心数据库架构版本为 " + std::to_string(version) + "，请先执行 karvex sync --init";
        return result::kSyncSchemaMismatch;
    }
    // The login was checked above (letters, digits, underscores): a literal as it stands, and quoted as a
    // name so that one that is also a keyword ("user") still works.
    const std::string role = PgIdentifier(login);
    const std::string statements[] = {
        "DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '" + login + "') THEN CREATE ROLE " + role +
            " LOGIN; END IF; END $$",
        "GRANT " + std::string(kRegisterRole) + " TO " + role,
    };
    for (const std::string& sql : statements) {
        r = s.Exec(sql);
        if (!Ok(r.get())) return fail(s.FailStatement(r.get(), "设置收款机登录名失败"));
    }
    r = s.Exec("INSERT INTO " + std::string(kCentralSchemaName) +
                   ".register_logins (login, machine_no) VALUES ($1, $2) ON CONFLICT (login) DO UPDATE"
                   " SET machine_no = EXCLUDED.machine_no",
               {login, machine});
    if (!Ok(r.get())) return fail(s.FailStatement(r.get(), "设置收款机登录名失败"));
    r = s.Exec("COMMIT");
    if (!Ok(r.get())) return fail(s.FailStatement(r.get(), "中心数据库提交失败"));
    message = "登录名 " + login + " 可以同步机器编号 " + machine +
              " 的数据，且只能读写这一台收款机的行；口令由总部设置（ALTER ROLE " + login +
              " PASSWORD ...）或改用证书登录";
    return 0;
}

std::int32_t InitCentral(const SyncSettings& settings, std::string& message) {
    StoreConnection none;
    Session s(none, settings);
    auto fail = [&](std::int32_t code) {
        message = s.Error();
        return code;
    };
    std::string shown;
    std::int32_t rc = s.ConnectAndBegin(shown);
    if (rc != 0) return fail(rc);
    // Two registers initialising at once must not both create the schema.
    PgResult r = s.Exec("SELECT pg_advisory_xact_lock(7238)");
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
            r = s.Exec(sql);
            if (!Ok(r.get())) return fail(s.FailStatement(r.get(), "创建中心数据库架构失败"));
        }
    }
    r = s.Exec("COMMIT");
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
    warning_.clear();
    if (!store_.IsOpen()) return Fail(result::kStoreOpenFailed, "数据库对象打开失败");
    SyncLock lock;
    if (std::int32_t rc = lock.Acquire(store_.File(), error_); rc != 0) return rc;
    // The store's writer may hold a transaction for the whole of a long answer; the sync's one write (a
    // batch's delete) waits for it like any writer.
    sqlite3_busy_timeout(store_.Handle(), 10000);
    Session s(store_, settings);
    std::string shown;
    std::int32_t rc = s.Connect(shown);
    if (rc == 0 && s.InClearOverNetwork()) {
        warning_ = "同步未加密：数据以明文经网络发往 " + shown +
                   "，线路上的人可以读取；请在地址中使用 sslmode=verify-full（或至少 require）";
    }
    try {
        if (rc == 0) rc = s.Push(count);
    } catch (const std::exception& e) {
        // Whatever went wrong in here ends this attempt, not the program that runs the sync.
        rc = s.Fail(result::kExecutionFailed, std::string("同步出现内部错误：") + e.what());
    } catch (...) {
        rc = s.Fail(result::kExecutionFailed, "同步出现内部错误");
    }
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
    status.underWay = SyncUnderWay(store_.File());
    return 0;
}

}  // namespace karvex::sync
