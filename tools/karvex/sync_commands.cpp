// `karvex sync`: the store's outbox to the central PostgreSQL database (--to), the central schema
// (--init), a register's own login centrally (--add-register), and what the last sync achieved
// (--status). No serial link is needed.
#include <cstdlib>

#include "commands.h"
#include "control/fiscal_access.h"
#include "control/paths.h"
#include "karvex/fiscal.h"
#include "store/schema.h"
#include "store/store_access.h"
#include "store/store_lock.h"
#include "sync/central_schema.h"
#include "sync/fleet_sync.h"

namespace karvex::cli {

namespace {

sync::SyncSettings Settings(const Options& o, const std::string& address) {
    sync::SyncSettings s;
    s.address = address;
    s.passwordFile = o.Get("passfile");
    if (o.Has("batch-rows")) {
        const long long rows = IntOption(o, "batch-rows");
        if (rows < 1 || rows > 100000) throw UsageError{"--batch-rows must be 1 to 100000"};
        s.batchRows = static_cast<int>(rows);
    }
    const auto seconds = [&](const char* name, std::chrono::milliseconds& into) {
        if (!o.Has(name)) return;
        const long long v = IntOption(o, name);
        if (v < 1 || v > 3600) throw UsageError{std::string("--") + name + " must be 1 to 3600 seconds"};
        into = std::chrono::seconds(v);
    };
    seconds("connect-timeout", s.connectTimeout);
    seconds("statement-timeout", s.statementTimeout);
    seconds("lock-timeout", s.lockTimeout);
    return s;
}

JsonObject StatusJson(const sync::SyncStatus& s) {
    auto text = [](const std::string& t) { return t.empty() ? JsonValue() : JsonValue(t); };
    return {{"waiting", static_cast<long long>(s.waiting)},
            {"central", text(s.central)},
            {"last_success", text(s.lastSuccess)},
            {"last_attempt", text(s.lastAttempt)},
            {"last_code", s.lastCode},
            {"last_error", text(s.lastError)},
            {"failures", s.failures},
            {"rows_sent", static_cast<long long>(s.rowsSent)},
            {"under_way", s.underWay}};
}

Outcome Init(const Options& o) {
    Outcome out{"SyncInit", 0, {}};
    std::string message;
    out.result = sync::InitCentral(Settings(o, o.Get("init")), message);
    out.outputs.emplace_back(out.result == 0 ? "message" : "error", message);
    return out;
}

Outcome AddRegister(const Options& o) {
    Outcome out{"SyncAddRegister", 0, {}};
    if (!o.Has("login") || !o.Has("machine"))
        throw UsageError{"--add-register URL wants --login NAME --machine NUMBER"};
    std::string message;
    out.result = sync::AddRegister(Settings(o, o.Get("add-register")), o.Get("login"), o.Get("machine"), message);
    out.outputs.emplace_back(out.result == 0 ? "message" : "error", message);
    return out;
}

Outcome Push(Fiscal& fiscal, const Options& o) {
    Outcome out{"SyncPush", 0, {}};
    const sync::SyncSettings settings = Settings(o, o.Get("to"));
    const std::filesystem::path file = std::filesystem::path(FiscalAccess(fiscal).Paths().appDir) / kStoreFileName;
    // The sync only ever deletes outbox rows it has sent, so it runs beside the control that writes the
    // store (a host's point-of-sale program) without taking the writer's lock a sale needs; it only
    // announces itself, which keeps that control from compacting the file away under it.
    StoreLock lock;
    lock.AcquireReader(file);
    StoreConnection store;
    if ((out.result = store.Open(file, StoreKeyFor(fiscal.CurrentSettings()))) != 0) {
        out.outputs.emplace_back("error", store.LastErrorText());
        return out;
    }
    sync::FleetSync fleet(store);
    std::int64_t sent = 0;
    out.result = fleet.Push(settings, &sent);
    out.outputs.emplace_back("sent", static_cast<long long>(sent));
    if (out.result != 0) out.outputs.emplace_back("error", fleet.LastErrorText());
    if (!fleet.Warning().empty()) out.outputs.emplace_back("warning", fleet.Warning());
    sync::SyncStatus status;
    if (fleet.ReadStatus(status) == 0) out.outputs.emplace_back("status", StatusJson(status));
    return out;
}

Outcome Status(Fiscal& fiscal) {
    Outcome out{"SyncStatus", 0, {}};
    StoreAccess store(FiscalAccess(fiscal).Paths().appDir, StoreKeyFor(fiscal.CurrentSettings()));
    if ((out.result = store.Open(StoreMode::Read)) != 0) {
        out.outputs.emplace_back("error", store.LastErrorText());
        return out;
    }
    sync::FleetSync fleet(*store.Connection());
    sync::SyncStatus status;
    // A store no build with the sync has opened yet has neither outbox nor state: nothing waits.
    if (fleet.ReadStatus(status) != 0) status = sync::SyncStatus{};
    out.outputs = StatusJson(status);
    return out;
}

Outcome Sync(Fiscal& fiscal, const Options& o) {
    const int given = o.Has("to") + o.Has("init") + o.Has("status") + o.Has("add-register");
    if (given != 1) throw UsageError{"give one of --to URL, --init URL, --add-register URL, --status"};
    if (o.Has("status")) return Status(fiscal);
    if (o.Has("init")) return Init(o);
    if (o.Has("add-register")) return AddRegister(o);
    return Push(fiscal, o);
}

}  // namespace

void AddSyncSubcommands(std::vector<Subcommand>& list) {
    list.push_back({"sync",
                    "send the store's outbox to the central PostgreSQL database; create its schema; show the state",
                    {Needs("to", "URL"), Words("|"), Needs("init", "URL"), Words("|"), Needs("add-register", "URL"),
                     Needs("login", "NAME"), Needs("machine", "NUMBER"), Words("|"), Flag("status"), Words(""),
                     Maybe("passfile", "PATH"), Maybe("batch-rows", "N"), Maybe("connect-timeout", "S"),
                     Maybe("statement-timeout", "S"), Maybe("lock-timeout", "S")},
                    Sync,
                    false});
}

}  // namespace karvex::cli
