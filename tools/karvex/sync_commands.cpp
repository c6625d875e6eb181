// `karvex sync`: the store's outbox to the central PostgreSQL database (--to), the central schema
// (--init), and what the last sync achieved (--status). No serial link is needed.
#include <cstdlib>

#include "commands.h"
#include "control/control_module.h"
#include "control/paths.h"
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
            {"rows_sent", static_cast<long long>(s.rowsSent)}};
}

Outcome Init(const Options& o) {
    Outcome out{"SyncInit", 0, {}};
    std::string message;
    out.result = sync::InitCentral(Settings(o, o.Get("init")), message);
    out.outputs.emplace_back(out.result == 0 ? "message" : "error", message);
    return out;
}

Outcome Push(Fiscal& fiscal, const Options& o) {
    Outcome out{"SyncPush", 0, {}};
    const sync::SyncSettings settings = Settings(o, o.Get("to"));
    const std::filesystem::path file = std::filesystem::path(fiscal.Module().Paths().appDir) / kStoreFileName;
    // The sync only ever deletes outbox rows it has sent, so it may run beside the control that writes the
    // store (a host's point-of-sale program); it then only announces itself, which keeps that control from
    // compacting the file away under it.
    StoreLock lock;
    std::string why;
    if (lock.AcquireWriter(file, why) != 0) lock.AcquireReader(file);
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
    sync::SyncStatus status;
    if (fleet.ReadStatus(status) == 0) out.outputs.emplace_back("status", StatusJson(status));
    return out;
}

Outcome Status(Fiscal& fiscal) {
    Outcome out{"SyncStatus", 0, {}};
    StoreAccess store(fiscal.Module().Paths().appDir, StoreKeyFor(fiscal.CurrentSettings()));
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
    const int given = o.Has("to") + o.Has("init") + o.Has("status");
    if (given != 1) throw UsageError{"give one of --to URL, --init URL, --status"};
    if (o.Has("status")) return Status(fiscal);
    if (o.Has("init")) return Init(o);
    return Push(fiscal, o);
}

}  // namespace

void AddSyncSubcommands(std::vector<Subcommand>& list) {
    list.push_back({"sync",
                    "send the store's outbox to the central PostgreSQL database; create its schema; show the state",
                    "--to URL | --init URL | --status  [--passfile PATH] [--batch-rows N]",
                    Sync,
                    false,
                    {"status"}});
}

}  // namespace karvex::cli
