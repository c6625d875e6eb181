// karvexd: owns the serial line and the store and serves them to point-of-sale programs over HTTP/JSON on
// the loopback interface (see --help).
#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/fiscal_access.h"
#include "control/port_answer_ui.h"
#include "karvex/application.h"
#include "karvex/fiscal.h"
#include "link/result_codes.h"
#include "service/service.h"
#include "service/token_store.h"
#include "tool_options.h"
#include "sync/sync_worker.h"

namespace {

using namespace karvex::service;

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// Every option of the service, for the parser and the help alike.
QList<QCommandLineOption> OptionDefinitions() {
    const auto option = [](const char* name, const char* value, const char* description) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(description),
                                  QString::fromLatin1(value));
    };
    return {
        option("port", "N", "TCP port (default 8765; 0 picks a free one, printed at start)"),
        option("listen", "ADDR", "address to listen on (default 127.0.0.1, the loopback only)"),
        option("unix-socket", "PATH", "also listen on a Unix socket (reachable by the service's user only)"),
        option("allow-origin", "O",
               "let a web page of origin O (e.g. http://pos.local:8080) call the API;\n"
               "may be given more than once; without it no other origin may"),
        option("data-dir", "DIR",
               "where the store and the command log live (default: $KARVEX_DATA_DIR,\n"
               "else a store beside the program; installed under /usr:\n"
               "/var/lib/karvex for root, else ~/.local/share/karvex)"),
        option("serial-port", "N", "serial port 1-5 to use when the stored one cannot be opened"),
        option("token-file", "PATH",
               "the bearer token (default <data dir>/karvexd.token, mode 0600, made at\n"
               "first start)"),
        option("rotate-token", "",
               "write a new token to the token file and exit; a running service\n"
               "refuses the old token from then on"),
        option("serve-card-password", "",
               "show the card password (税控卡使用口令) in\n"
               "GET /v1/tables/UserInformation; without it the field is left out"),
        option("sync", "URL",
               "send the store's outbox to the central PostgreSQL database every few\n"
               "seconds (longer after failures); the address carries no password"),
        option("sync-passfile", "P", "the password file for --sync (else PGPASSFILE, ~/.pgpass, a service file)"),
        option("sync-interval", "S", "seconds between syncs (default 5)"),
        option("max-connections", "N",
               "open connections at most, 16-4096 (default 512; 1/16 of them kept for the\n"
               "Unix socket); when they run short the longest-idle one is closed"),
        option("request-timeout", "MS", "a whole request (head and body) must arrive within this (default 10000)"),
        QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("this text")),
        option("version", "", "the version"),
    };
}

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: karvexd [OPTIONS]\n"
                 "\n"
                 "Owns the tax-control processor's serial line and the store, and serves them over HTTP/JSON\n"
                 "(API under /v1, status page at /). Requests that use the line run one at a time in the order\n"
                 "they came; the store's tables are read while the line is busy. Every /v1 request carries\n"
                 "\"Authorization: Bearer <token>\" with the token from the token file.\n"
                 "\n"
                 "%s"
                 "\n"
                 "Exit status: 0 after SIGTERM or SIGINT, 1 when the store, the port or the token file cannot be\n"
                 "used, 2 for a usage error.\n",
                 karvex::tools::OptionHelp(OptionDefinitions(), 22).c_str());
}

// An option's value as a whole number within [least, most]; false for anything else.
bool NumberIn(const QString& text, long least, long most, long& out) {
    bool ok = false;
    out = text.toLong(&ok, 10);
    return ok && out >= least && out <= most;
}

QJsonObject SyncJson(const karvex::sync::WorkerStatus& w) {
    const auto text = [](const std::string& t) {
        return t.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(t));
    };
    return QJsonObject{{"running", w.running},
                       {"central", text(w.last.central)},
                       {"waiting", static_cast<qint64>(w.last.waiting)},
                       {"last_success", text(w.last.lastSuccess)},
                       {"last_attempt", text(w.last.lastAttempt)},
                       {"last_code", w.last.lastCode},
                       {"last_error", text(w.last.lastError)},
                       {"failures", w.last.failures},
                       {"rows_sent", static_cast<qint64>(w.last.rowsSent)},
                       {"next_attempt_ms", static_cast<qint64>(w.nextAttempt.count())},
                       {"under_way", w.underWay},
                       {"attempt_since", text(w.underWay ? w.attemptSince : std::string())},
                       {"last_contact", text(w.lastContact)},
                       {"warning", text(w.warning)}};
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "karvexd: %s\n\n", message.c_str());
    PrintUsage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ServiceOptions options;
    std::string dataDir, serialPort, tokenFile;
    bool rotate = false;
    karvex::sync::SyncSettings syncSettings;
    std::chrono::milliseconds syncPeriod = std::chrono::seconds(5);
    QCommandLineParser parser;
    if (std::string why;
        !karvex::tools::ParseOptions(parser, OptionDefinitions(), karvex::tools::Arguments(argc, argv), why))
        return Usage(why);
    const auto given = [&](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    const auto text = [&](const char* name) { return parser.value(QString::fromLatin1(name)); };
    if (given("help")) {
        PrintUsage(stdout);
        return 0;
    }
    if (given("version")) {
        std::printf("karvexd %s\n", KARVEX_VERSION_TEXT);
        return 0;
    }
    rotate = given("rotate-token");
    options.serveCardPassword = given("serve-card-password");
    long n = 0;
    if (given("port")) {
        if (!NumberIn(text("port"), 0, 65535, n)) return Usage("--port wants 0-65535: " + text("port").toStdString());
        options.port = static_cast<quint16>(n);
    }
    if (given("listen") && !options.address.setAddress(text("listen")))
        return Usage("--listen wants an address: " + text("listen").toStdString());
    if (given("unix-socket")) options.unixSocket = text("unix-socket");
    options.allowedOrigins.append(parser.values(QStringLiteral("allow-origin")));
    dataDir = text("data-dir").toStdString();
    serialPort = text("serial-port").toStdString();
    if (given("serial-port") && (serialPort.size() != 1 || serialPort[0] < '1' || serialPort[0] > '5'))
        return Usage("--serial-port wants a port number 1-5: " + serialPort);
    tokenFile = text("token-file").toStdString();
    if (given("sync")) syncSettings.address = text("sync").toStdString();
    if (given("sync-passfile")) syncSettings.passwordFile = text("sync-passfile").toStdString();
    if (given("max-connections")) {
        if (!NumberIn(text("max-connections"), 16, 4096, n))
            return Usage("--max-connections wants 16-4096: " + text("max-connections").toStdString());
        options.limits.maxConnections = static_cast<int>(n);
        options.limits.localSlots = static_cast<int>(n / 16);
        options.limits.perPeer = static_cast<int>(std::max(4L, n / 8));
    }
    if (given("request-timeout")) {
        if (!NumberIn(text("request-timeout"), 16, 600000, n))
            return Usage("--request-timeout wants 16-600000: " + text("request-timeout").toStdString());
        options.limits.request = std::chrono::milliseconds(n);
    }
    if (given("sync-interval")) {
        if (!NumberIn(text("sync-interval"), 1, 86400, n))
            return Usage("--sync-interval wants 1-86400: " + text("sync-interval").toStdString());
        syncPeriod = std::chrono::seconds(n);
    }
    // The environment (the unit's /etc/default/karvexd) first; the options say more.
    karvex::Settings settings = karvex::Settings::FromEnvironment();
    if (!dataDir.empty()) settings.dataDirectory = dataDir;
    syncSettings.storeKey = karvex::StoreKeyFor(settings);
    if (!syncSettings.address.empty()) {
        // A wrong address is a mistake in the service's configuration: said at once, not every five seconds.
        std::vector<std::pair<std::string, std::string>> params;
        std::string shown, why;
        if (karvex::sync::ParseCentralAddress(syncSettings, params, shown, why) != 0) return Usage("--sync: " + why);
    }

    // Each connection is a descriptor: the soft limit (often 1024) is raised to what the system allows.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    karvex::EnsureApplication();
    karvex::Fiscal fiscal(settings);
    fiscal.SetUserInterface(std::make_shared<karvex::PortAnswerUi>(serialPort));
    const std::string appDir = karvex::FiscalAccess(fiscal).Paths().appDir;
    if (tokenFile.empty()) tokenFile = appDir + "karvexd.token";
    QDir().mkpath(QString::fromStdString(appDir));
    TokenStore token(QString::fromStdString(tokenFile));
    QString error;
    if (rotate) {
        if (!token.Rotate(&error)) {
            std::fprintf(stderr, "karvexd: %s\n", error.toStdString().c_str());
            return 1;
        }
        std::printf("karvexd: new token written to %s\n", tokenFile.c_str());
        return 0;
    }
    if (!token.Load(&error)) {
        std::fprintf(stderr, "karvexd: %s\n", error.toStdString().c_str());
        return 1;
    }

    const int loaded = fiscal.LoadFiscalForm();
    const int storeCode = loaded == karvex::result::kStoreOpenFailed || loaded == karvex::result::kStoreInUse;
    if (storeCode) {
        std::fprintf(stderr, "karvexd: %s\n", fiscal.Description().toStdString().c_str());
        fiscal.UnloadFicalForm(0);
        return 1;
    }
    // Without the port the service still answers: the status says so and line requests get 503.
    if (loaded != 0) std::fprintf(stderr, "karvexd: %s\n", fiscal.Description().toStdString().c_str());

    // The sync has a connection of its own to the store this process holds; it is stopped before the
    // store is closed and compacted.
    std::unique_ptr<karvex::sync::SyncWorker> syncWorker;
    if (!syncSettings.address.empty() && !storeCode) {
        syncWorker = std::make_unique<karvex::sync::SyncWorker>(karvex::FiscalAccess(fiscal).Paths().storePath,
                                                                syncSettings, syncPeriod);
        options.syncStatus = [&worker = *syncWorker] { return SyncJson(worker.Snapshot()); };
        syncWorker->Start();
    }
    auto service = std::make_unique<Service>(fiscal, token, options);
    if (!service->Start(&error)) {
        std::fprintf(stderr, "karvexd: cannot listen: %s\n", error.toStdString().c_str());
        if (syncWorker) syncWorker->Stop();
        fiscal.UnloadFicalForm(0);
        return 1;
    }
    // The service outlives a pulled adapter or a processor switched off: the line is opened again when its
    // device comes back, and the processor brought on line, without anyone restarting the service.
    fiscal.SetLineRecovery(true, [svc = service.get()] { svc->BringOnline(); });
    std::printf("karvexd: listening on http://%s:%u/ (token file %s)\n",
                options.address.toString().toStdString().c_str(), service->Port(), tokenFile.c_str());
    std::fflush(stdout);

    if (::pipe2(signalPipe, O_CLOEXEC) == 0) {
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, service.get());
        QObject::connect(notifier, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
    }
    ::signal(SIGPIPE, SIG_IGN);
    QCoreApplication::exec();
    // The service's own reading connection to the store closes before the store is compacted and closed; the
    // line's recovery, which calls into the service, stops first.
    fiscal.SetLineRecovery(false);
    service.reset();
    // The sync's own connection ends too before the store is compacted.
    if (syncWorker) syncWorker->Stop();
    const int unload = fiscal.UnloadFicalForm(0);
    if (unload != 0) std::fprintf(stderr, "karvexd: closing the store gave %d\n", unload);
    return 0;
}
