#include "service/service.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <variant>

#include "commands/catalogue.h"
#include "commands/sale_frame.h"
#include "control/fiscal_access.h"
#include "convert/conversions.h"
#include "convert/decimal_text.h"
#include "karvex/errors.h"
#include "karvex/fiscal.h"
#include "link/result_codes.h"
#include "link/serial_link.h"
#include "store/journal_names.h"
#include "service/api_error.h"
#include "service/request_body.h"
#include "store/record_set.h"
#include "store/row_reader.h"
#include "store/schema.h"
#include "store/selection.h"
#include "store/store_access.h"

#ifndef KARVEX_VERSION
#define KARVEX_VERSION "0"
#endif

namespace karvex::service {

namespace {

constexpr int kDefaultPageRows = 100;
constexpr int kMaxPageRows = 1000;
constexpr int kMaxWaiting = 256;
constexpr int kDefaultSales = 20;

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

HttpResponse BadField(const Invalid& invalid) {
    return ErrorResponse(result::kBadRequest, invalid.field, invalid.detail);
}

// A goods number the sale's check refused for being below 0.01 (or that has no value in hundredths at all).
bool BelowOneFen(const QString& decimal) {
    std::int64_t hundredths = 0;
    return ParseHundredths(S(decimal), hundredths) != result::kSuccess || hundredths < 1;
}

// The field a refusal of the control's own checks is about, found by asking the same question of each
// field in turn; empty when the code is about no one field.
QString RefusedField(ResultCode code, const QString& payer, const QString& returned,
                     const std::vector<SaleItem>& items) {
    const auto item = [&](const char* field, const std::function<bool(const SaleItem&)>& wrong) -> QString {
        for (std::size_t i = 0; i < items.size(); ++i)
            if (wrong(items[i])) return QStringLiteral("goods[%1].%2").arg(i).arg(QLatin1String(field));
        return QStringLiteral("goods");
    };
    const auto badText = [](const QString& text) {
        Bytes gbk;
        std::string normalized;
        if (Utf8ToGbk(S(text), gbk) != 0 || CheckGbkBytes(gbk) != 0) return true;
        return NormalizeText(S(text), normalized) != 0;
    };
    switch (code) {
    case result::kQuantityZero: return item("quantity", [](const SaleItem& i) { return BelowOneFen(i.quantity); });
    case result::kBadUnitPrice: return item("price", [](const SaleItem& i) { return BelowOneFen(i.price); });
    case result::kBadAmount: return item("amount", [](const SaleItem& i) { return BelowOneFen(i.amount); });
    case result::kTaxIndexZero: return QStringLiteral("goods");
    case result::kBadItemCount: return QStringLiteral("goods");
    case result::kBadInvoiceNumber:
    case result::kInvoiceNumberTooLarge:
    case result::kEmptyInput: return returned.isEmpty() ? QString() : QStringLiteral("returned_invoice");
    default: break;
    }
    if (code >= result::kRangeStartBeyondEnd && code <= result::kNumberAbove32Bits) {
        if (!payer.isEmpty() && badText(payer)) return QStringLiteral("payer");
        return item("name", [&](const SaleItem& i) { return badText(i.name); });
    }
    return {};
}

QJsonValue FieldJson(const FieldValue& v) {
    struct Visitor {
        QJsonValue operator()(std::monostate) { return QJsonValue(); }
        QJsonValue operator()(std::int64_t i) { return QJsonValue(static_cast<qint64>(i)); }
        QJsonValue operator()(double d) { return QJsonValue(d); }
        QJsonValue operator()(const std::string& s) { return QJsonValue(Q(s)); }
        QJsonValue operator()(const Bytes& b) {
            return QJsonValue(QString::fromLatin1(
                QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()))
                    .toHex()
                    .toUpper()));
        }
    };
    return std::visit(Visitor{}, v);
}

constexpr std::string_view kCardPasswordField = "税控卡使用口令";

QJsonObject RowJson(const TableDef& table, const StoredRow& row) {
    QJsonObject out;
    for (std::size_t i = 0; i < table.fields.size() && i < row.values.size(); ++i) {
        // The card password is for the processor only: whoever reads the tables sees that one is set.
        const bool password =
            table.fields[i].name == "税控卡使用口令" && !std::holds_alternative<std::monostate>(row.values[i]);
        out.insert(Q(table.fields[i].name), password ? QJsonValue(QStringLiteral("******")) : FieldJson(row.values[i]));
    }
    return out;
}

// A journal row as the API shows a sale: "issued" whenever an invoice exists for it, whether the answer
// said so or the print data read back afterwards (the journal's own keyword is kept beside it).
QJsonObject SaleJson(const TableDef& table, const StoredRow& row) {
    const auto value = [&](std::string_view field) -> FieldValue {
        const int i = table.FieldIndex(field);
        return i >= 0 && static_cast<std::size_t>(i) < row.values.size() ? row.values[static_cast<std::size_t>(i)]
                                                                         : FieldValue{};
    };
    const auto text = [&](std::string_view field) {
        const FieldValue v = value(field);
        return std::holds_alternative<std::string>(v) ? Q(std::get<std::string>(v)) : QString();
    };
    const QString state = text(journal::kState);
    const bool exists = state == Q(std::string(journal::kAnswered)) || state == Q(std::string(journal::kIssued));
    const FieldValue kind = value(journal::kKind);
    const FieldValue result = value(journal::kResult);
    const bool isReturn =
        std::holds_alternative<std::int64_t>(kind) && std::get<std::int64_t>(kind) == kHostReturnInvoice;
    QJsonObject sale{{"sale_id", text(journal::kSaleId)},
                     {"state", exists ? QStringLiteral("issued") : state},
                     {"journal_state", state},
                     {"kind", isReturn ? QStringLiteral("return") : QStringLiteral("issue")},
                     {"invoice_number", text(journal::kInvNum)},
                     {"tax_code", text(journal::kTaxCode)},
                     {"date_time", text(journal::kDateTime)},
                     {"machine_number", text(journal::kMachineNum)},
                     {"user_name", text(journal::kUserName)},
                     {"tax_number", text(journal::kTaxNumber)},
                     {"total", FieldJson(value(journal::kTotal))},
                     {"created_at", text(journal::kCreated)},
                     {"updated_at", text(journal::kUpdated)}};
    if (std::holds_alternative<std::int64_t>(result))
        sale.insert("result", static_cast<qint64>(std::get<std::int64_t>(result)));
    const QString returned = text(journal::kReturned);
    if (!returned.isEmpty()) sale.insert("returned_invoice", returned);
    return sale;
}

// The fixed-width goods slots of print data split back into one text per slot (each `width` GBK bytes),
// trimmed of the blanks that pad it.
QStringList GoodsSlots(const QString& text, int width) {
    QStringList out;
    QString slot;
    int used = 0;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString one = text.mid(i, n);
        i += n;
        slot += one;
        used += static_cast<int>(GbkByteLength(S(one)));
        if (used >= width) {
            out.append(slot.trimmed());
            slot.clear();
            used = 0;
        }
    }
    if (!slot.trimmed().isEmpty()) out.append(slot.trimmed());
    return out;
}

// A criterion value from the query as its field holds it: numbers for numeric fields when the text is one.
FieldValue CriterionValue(FieldType type, const QString& text) {
    bool ok = false;
    if (type == FieldType::Double) {
        const double d = text.toDouble(&ok);
        if (ok) return d;
    } else if (type != FieldType::Text) {
        const qlonglong n = text.toLongLong(&ok);
        if (ok) return static_cast<std::int64_t>(n);
    }
    return S(text);
}

QByteArray ContentTypeOf(const QString& name) {
    if (name.endsWith(".html")) return "text/html; charset=utf-8";
    if (name.endsWith(".js")) return "text/javascript; charset=utf-8";
    if (name.endsWith(".css")) return "text/css; charset=utf-8";
    if (name.endsWith(".svg")) return "image/svg+xml";
    if (name.endsWith(".png")) return "image/png";
    if (name.endsWith(".json")) return "application/json; charset=utf-8";
    if (name.endsWith(".ico")) return "image/x-icon";
    return "application/octet-stream";
}

// Splits "/v1/print-data/123" and matches it against "/v1/print-data/*"; `args` gets the starred segments.
bool MatchPath(const QString& pattern, const QString& path, QStringList& args) {
    const QStringList want = pattern.split(u'/');
    const QStringList have = path.split(u'/');
    if (want.size() != have.size()) return false;
    QStringList found;
    for (qsizetype i = 0; i < want.size(); ++i) {
        if (want[i] == u"*") {
            if (have[i].isEmpty()) return false;
            found.append(have[i]);
        } else if (want[i] != have[i]) {
            return false;
        }
    }
    args = found;
    return true;
}

}  // namespace

struct Service::Route {
    QByteArray method;
    QString pattern;
    std::function<void(const HttpRequest&, const QStringList&, const ResponderPtr&)> run;
};

Service::Service(Fiscal& fiscal, TokenStore& token, ServiceOptions options, QObject* parent)
    : QObject(parent),
      fiscal_(fiscal),
      token_(token),
      options_(std::move(options)),
      server_([this](const HttpRequest& r, ResponderPtr p) { Handle(r, std::move(p)); }, RefusalResponse,
              options_.limits, this),
      queue_(this),
      events_(options_.heartbeat, this),
      tokenWatch_(new QTimer(this)) {
    // A token file removed or replaced beside the service also ends the streams opened with the old token,
    // even while no request comes to notice it.
    tokenGeneration_ = token_.Generation();
    tokenWatch_->setInterval(std::chrono::seconds(1));
    connect(tokenWatch_, &QTimer::timeout, this, &Service::CheckStreams);
    tokenWatch_->start();
    server_.SetDecorator([this](const HttpRequest& r, HttpResponse& response) { Decorate(r, response); });
    fiscal_.SetProgressCallback([this](const Progress& p) {
        const QJsonObject event{{"command", Q(CommandName(FiscalAccess(fiscal_).Command().code))},
                                {"label", p.label},
                                {"received", p.received},
                                {"total", p.total},
                                {"frames_per_second", p.framesPerSecond},
                                {"seconds_left", p.secondsLeft},
                                {"done", p.done}};
        progress_ = p.done ? std::optional<Progress>() : std::optional<Progress>(p);
        events_.Publish("progress", QJsonDocument(event).toJson(QJsonDocument::Compact));
    });
    FiscalAccess(fiscal_).SetLogLineObserver(
        [this](const std::string& line) { events_.Publish("log", QByteArray::fromStdString(line)); });

    const auto answer = [](std::function<HttpResponse()> f) {
        return [f](const HttpRequest&, const QStringList&, const ResponderPtr& p) { p->Send(f()); };
    };
    routes_ = {
        {"GET", "/v1/status", answer([this] { return Status(); })},
        {"POST", "/v1/online",
         [this](const HttpRequest&, const QStringList&, const ResponderPtr& p) {
             OnLine(p, [this] {
                 const int r = fiscal_.FiscalOnline();
                 return r ? ErrorResponse(r) : JsonResponse({{"online", true}});
             });
         }},
        {"GET", "/v1/invoice-number",
         [this](const HttpRequest&, const QStringList&, const ResponderPtr& p) {
             OnLine(p, [this] {
                 QString number;
                 const int r = fiscal_.FiscalGetInvNum(number);
                 return r ? ErrorResponse(r) : JsonResponse({{"invoice_number", number}});
             });
         }},
        {"POST", "/v1/sales", [this](const HttpRequest& r, const QStringList&, const ResponderPtr& p) { Sale(r, p); }},
        {"GET", "/v1/sales",
         [this](const HttpRequest& r, const QStringList&, const ResponderPtr& p) { p->Send(LatestSales(r)); }},
        {"GET", "/v1/sales/*",
         [this](const HttpRequest&, const QStringList& a, const ResponderPtr& p) { SaleLookup(a[0], p); }},
        {"POST", "/v1/void", [this](const HttpRequest& r, const QStringList&, const ResponderPtr& p) { Void(r, p); }},
        {"GET", "/v1/print-data/*",
         [this](const HttpRequest&, const QStringList& a, const ResponderPtr& p) { PrintData(a[0], p); }},
        {"GET", "/v1/roll-summary/*",
         [this](const HttpRequest&, const QStringList& a, const ResponderPtr& p) { RollSummary(a[0], p); }},
        {"POST", "/v1/commands/*",
         [this](const HttpRequest&, const QStringList& a, const ResponderPtr& p) { ConsoleCommand(a[0], p); }},
        {"GET", "/v1/tables/*",
         [this](const HttpRequest& r, const QStringList& a, const ResponderPtr& p) { p->Send(Table(r, a[0])); }},
        {"GET", "/v1/events",
         [this](const HttpRequest& r, const QStringList&, const ResponderPtr& p) {
             events_.Subscribe(p, r.Header("last-event-id"), Presented(r));
         }},
        {"POST", "/v1/token/rotate",
         [this](const HttpRequest& r, const QStringList&, const ResponderPtr& p) {
             if (!r.body.trimmed().isEmpty() && r.body.trimmed() != "{}") {
                 p->Send(ErrorResponse(result::kBadRequest, {}, QStringLiteral("此接口不接受请求内容")));
                 return;
             }
             QString error;
             if (!token_.Rotate(&error)) {
                 p->Send(ErrorResponse(result::kExecutionFailed, {}, error));
                 return;
             }
             p->Send(JsonResponse({{"token", QString::fromLatin1(token_.Token())}, {"token_file", token_.Path()}}));
             CheckStreams();
         }},
    };
}

Service::~Service() {
    fiscal_.SetProgressCallback({});
    FiscalAccess(fiscal_).SetLogLineObserver({});
}

bool Service::Start(QString* error) {
    if (!server_.Listen(options_.address, options_.port, error)) return false;
    if (!options_.unixSocket.isEmpty() && !server_.ListenLocal(options_.unixSocket, error)) return false;
    return true;
}

bool Service::HostAllowed(const HttpRequest& request) const {
    // A page of another site whose name was pointed at this machine (DNS rebinding) names its own host;
    // a service on the loopback answers only to the loopback's names.
    if (request.local || !options_.address.isLoopback()) return true;
    QByteArray host = request.Header("host").toLower();
    if (host.startsWith('[')) {
        host = host.left(host.indexOf(']') + 1);
    } else if (const qsizetype colon = host.indexOf(':'); colon >= 0) {
        host = host.left(colon);
    }
    return host == "localhost" || host == "127.0.0.1" || host == "[::1]";
}

bool Service::OriginAllowed(const HttpRequest& request) const {
    const QByteArray origin = request.Header("origin");
    if (origin.isEmpty()) return true;
    if (origin == "http://" + request.Header("host")) return true;  // the status page itself
    return options_.allowedOrigins.contains(QString::fromUtf8(origin));
}

void Service::Decorate(const HttpRequest& request, HttpResponse& response) const {
    const QByteArray origin = request.Header("origin");
    if (origin.isEmpty() || !options_.allowedOrigins.contains(QString::fromUtf8(origin))) return;
    response.headers.append(qMakePair(QByteArray("Access-Control-Allow-Origin"), origin));
    response.headers.append(qMakePair(QByteArray("Vary"), "Origin"));
    if (request.method == "OPTIONS") {
        response.headers.append(qMakePair(QByteArray("Access-Control-Allow-Methods"), "GET, POST, OPTIONS"));
        response.headers.append(qMakePair(QByteArray("Access-Control-Allow-Headers"), "Authorization, Content-Type"));
        response.headers.append(qMakePair(QByteArray("Access-Control-Max-Age"), "600"));
    }
}

QByteArray Service::Presented(const HttpRequest& request) const {
    const QByteArray header = request.Header("authorization");
    if (header.size() > 7 && header.left(7).toLower() == "bearer ") return header.mid(7).trimmed();
    // A browser's event source cannot set headers: the stream alone takes the token from the query.
    bool found = false;
    const QString query = request.Query(QStringLiteral("token"), &found);
    if (found && request.method == "GET" && request.path == u"/v1/events") return query.toUtf8();
    return {};
}

bool Service::Authorized(const HttpRequest& request) {
    const QByteArray presented = Presented(request);
    const bool ok = !presented.isEmpty() && token_.Accepts(presented);
    CheckStreams();
    return ok;
}

void Service::CheckStreams() {
    token_.Refresh();
    if (token_.Generation() == tokenGeneration_) return;
    tokenGeneration_ = token_.Generation();
    events_.DropUnless([this](const QByteArray& credential) { return token_.Accepts(credential); });
}

void Service::Handle(const HttpRequest& request, ResponderPtr responder) {
    if (!HostAllowed(request)) {
        responder->Send(ErrorResponse(result::kAccessRefused, {}, QStringLiteral("Host 不是本机回环地址"), 403));
        return;
    }
    if (!OriginAllowed(request)) {
        responder->Send(ErrorResponse(result::kAccessRefused, {}, QStringLiteral("来源未获允许"), 403));
        return;
    }
    const QString& path = request.path;
    const bool api = path == u"/v1" || path.startsWith(u"/v1/");
    if (request.method == "OPTIONS" && api) {
        HttpResponse preflight;
        preflight.status = 204;
        preflight.contentType.clear();
        responder->Send(preflight);
        return;
    }
    if (!api) {
        if (request.method == "GET" && (path == u"/" || path.startsWith(u"/page/"))) {
            ServePage(request, responder);
        } else {
            responder->Send(ErrorResponse(result::kNoSuchResource, {}, {}, 404));
        }
        return;
    }
    if (!Authorized(request)) {
        HttpResponse refused = ErrorResponse(result::kAccessRefused);
        refused.headers.append(qMakePair(QByteArray("WWW-Authenticate"), "Bearer"));
        responder->Send(refused);
        return;
    }
    bool pathKnown = false;
    for (const Route& route : routes_) {
        QStringList args;
        if (!MatchPath(route.pattern, path, args)) continue;
        pathKnown = true;
        if (route.method != request.method) continue;
        route.run(request, args, responder);
        return;
    }
    responder->Send(ErrorResponse(result::kNoSuchResource, {},
                                  pathKnown ? QStringLiteral("此路径不支持该方法") : QString(), pathKnown ? 405 : 404));
}

void Service::ServePage(const HttpRequest& request, const ResponderPtr& responder) {
    QString name = request.path == u"/" ? QStringLiteral("index.html") : request.path.mid(6);
    if (name.isEmpty()) name = QStringLiteral("index.html");
    const QStringList parts = name.split(u'/');
    if (parts.contains(QStringLiteral("..")) || parts.contains(QString()) || parts.contains(QStringLiteral("."))) {
        responder->Send(ErrorResponse(result::kNoSuchResource, {}, {}, 404));
        return;
    }
    QFile file(QStringLiteral(":/karvexd/page/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        responder->Send(ErrorResponse(result::kNoSuchResource, {}, {}, 404));
        return;
    }
    HttpResponse page;
    page.contentType = ContentTypeOf(name);
    page.body = file.readAll();
    // The page talks to this service only; nothing from elsewhere is loaded into it.
    page.headers.append(qMakePair(QByteArray("Content-Security-Policy"),
                                  "default-src 'self'; connect-src 'self'; frame-ancestors 'none'"));
    responder->Send(page);
}

bool Service::OnLine(const ResponderPtr& responder, std::function<HttpResponse()> call) {
    // A flood of requests would otherwise hold memory without bound; a client told "busy" may come again.
    if (queue_.Waiting() >= kMaxWaiting) {
        responder->Send(ErrorResponse(result::kCommandInFlight, {}, QStringLiteral("排队的请求过多，请稍后再试")));
        return false;
    }
    // The call runs whether or not its client is still there: a sale once accepted is carried through.
    queue_.Enqueue([this, responder, call = std::move(call)] {
        HttpResponse response;
        try {
            response = call();
        } catch (const ArgumentOverflow& e) {
            response = ErrorResponse(result::kBadRequest, {}, QString::fromUtf8(e.what()));
        }
        NameTheDevice(response);
        responder->Send(std::move(response));
    });
    return true;
}

void Service::NameTheDevice(HttpResponse& response) const {
    // A line that cannot be used is a matter of which device: the answer says which, so whoever reads it
    // knows where to look without the service's log.
    if (response.status != 503) return;
    QJsonObject body = QJsonDocument::fromJson(response.body).object();
    if (body.contains("detail")) return;
    const std::string problem = FiscalAccess(fiscal_).LineProblem(body.value("code").toInt());
    if (problem.empty()) return;
    body.insert("detail", Q(problem));
    response.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
}

void Service::BringOnline() {
    // The line came back: on line again in the queue's turn, as a client's request would be.
    queue_.Enqueue([this] {
        const int r = fiscal_.FiscalOnline();
        events_.Publish("line", QJsonDocument(QJsonObject{{"reopened", true}, {"online", r == 0}, {"code", r}})
                                    .toJson(QJsonDocument::Compact));
    });
}

HttpResponse Service::Status() {
    const FiscalAccess control(fiscal_);
    const LineState state = control.Line();
    QJsonObject line{{"port", state.port},
                     {"device", Q(SerialDeviceForPort(state.port, fiscal_.CurrentSettings().devices))},
                     {"open", state.open},
                     {"device_present", state.devicePresent},
                     {"recovering", state.recovering}};
    QJsonValue inFlight;
    if (const CommandState command = control.Command(); command.inFlight) {
        inFlight = QJsonObject{{"command", Q(CommandName(command.code))},
                               {"code", static_cast<int>(command.code)},
                               {"received", progress_ ? progress_->received : command.framesReceived},
                               {"total", progress_ ? QJsonValue(progress_->total) : QJsonValue()}};
    }
    return JsonResponse({{"version", QStringLiteral(KARVEX_VERSION)},
                         {"line", line},
                         {"online", state.online},
                         {"in_flight", inFlight},
                         {"queue", queue_.Waiting()},
                         {"store", Q(control.Paths().storePath)},
                         {"sync", options_.syncStatus ? QJsonValue(options_.syncStatus()) : QJsonValue()}});
}

int Service::OpenReader(QString& why) {
    // A connection of its own that only reads: it may look while the control writes.
    if (reader_ && reader_->IsOpen()) return 0;
    reader_ =
        std::make_unique<StoreAccess>(FiscalAccess(fiscal_).Paths().appDir, StoreKeyFor(fiscal_.CurrentSettings()));
    if (const int r = reader_->Open(StoreMode::Read); r != 0) {
        why = Q(reader_->LastErrorText());
        reader_.reset();
        return r;
    }
    return 0;
}

int Service::ReadSales(const Selection& selection, int limit, bool newestFirst, QJsonArray& out, QString& why) {
    if (const int r = OpenReader(why); r != 0) return r;
    RowReader rows;
    std::int64_t total = 0;
    std::vector<StoredRow> window;
    int r = rows.Open(reader_->Connection(), selection);
    if (r == 0) r = rows.Count(total);
    if (r == 0) r = rows.ReadWindow(newestFirst ? std::max<std::int64_t>(0, total - limit) : 0, limit, window);
    if (r != 0) {
        why = Q(rows.LastErrorText());
        return r;
    }
    if (newestFirst) std::reverse(window.begin(), window.end());
    for (const StoredRow& row : window) out.append(SaleJson(*rows.Table(), row));
    return 0;
}

std::vector<std::pair<QString, int>> Service::JournalGoods(const QString& taxCode) {
    QString why;
    if (taxCode.trimmed().isEmpty() || OpenReader(why) != 0) return {};
    RowReader rows;
    std::vector<StoredRow> window;
    const Selection selection =
        Selection::Of(std::string(journal::kTable)).Where(std::string(journal::kTaxCode), S(taxCode));
    if (rows.Open(reader_->Connection(), selection) != 0 || rows.ReadWindow(0, 1, window) != 0 || window.empty())
        return {};
    const int at = rows.Table()->FieldIndex(journal::kGoods);
    if (at < 0 || static_cast<std::size_t>(at) >= window[0].values.size()) return {};
    const FieldValue& goods = window[0].values[static_cast<std::size_t>(at)];
    if (!std::holds_alternative<std::string>(goods)) return {};
    // One line per item: name, quantity, tax index, amount, tab-separated.
    std::vector<std::pair<QString, int>> out;
    for (const QString& line : Q(std::get<std::string>(goods)).split('\n')) {
        bool ok = false;
        const int index = line.section('\t', 2, 2).toInt(&ok);
        if (!ok) return {};
        out.emplace_back(line.section('\t', 0, 0).trimmed(), index);
    }
    return out;
}

HttpResponse Service::SaleRecord(const QString& saleId) {
    QJsonArray found;
    QString why;
    const Selection selection =
        Selection::Of(std::string(journal::kTable)).Where(std::string(journal::kSaleId), S(saleId));
    if (const int r = ReadSales(selection, 1, false, found, why); r != 0) return ErrorResponse(r, {}, why);
    if (found.isEmpty()) return ErrorResponse(result::kNoSuchSale, QStringLiteral("sale_id"));
    return JsonResponse(found.first().toObject());
}

HttpResponse Service::LatestSales(const HttpRequest& request) {
    std::int64_t limit = kDefaultSales;
    bool given = false;
    const QString text = request.Query(QStringLiteral("limit"), &given);
    if (given) {
        bool ok = false;
        limit = text.toLongLong(&ok);
        if (!ok || limit < 1 || limit > kMaxPageRows)
            return ErrorResponse(result::kBadRequest, QStringLiteral("limit"),
                                 QStringLiteral("必须是 1 到 %1 之间的整数").arg(kMaxPageRows));
    }
    QJsonArray sales;
    QString why;
    if (const int r = ReadSales(Selection::Of(std::string(journal::kTable)), static_cast<int>(limit), true, sales, why);
        r != 0)
        return ErrorResponse(r, {}, why);
    return JsonResponse({{"sales", sales}});
}

HttpResponse Service::Table(const HttpRequest& request, const QString& tableName) {
    const TableDef* table = FindStoreTable(S(tableName));
    if (!table) return ErrorResponse(result::kNoSuchResource, QStringLiteral("table"), QStringLiteral("没有此数据表"));
    // Neither shown nor searchable: a criterion on it would tell the password one guess at a time.
    const bool hidePassword = table->name == "UserInformation" && !options_.serveCardPassword;
    const auto hidden = [&](std::string_view field) { return hidePassword && field == kCardPasswordField; };
    std::int64_t limit = kDefaultPageRows;
    std::int64_t offset = 0;
    Selection selection = Selection::Of(table->name);
    for (const auto& [key, value] : request.query) {
        if (key == u"limit" || key == u"offset") {
            bool ok = false;
            const qlonglong n = value.toLongLong(&ok);
            const qlonglong max = key == u"limit" ? kMaxPageRows : 1000000000LL;
            if (!ok || n < (key == u"limit" ? 1 : 0) || n > max)
                return ErrorResponse(
                    result::kBadRequest, key,
                    QStringLiteral("必须是 %1 到 %2 之间的整数").arg(key == u"limit" ? 1 : 0).arg(max));
            (key == u"limit" ? limit : offset) = n;
        } else if (key == u"where") {
            std::string reason;
            if (ParseCriterion(S(value), selection.where, reason) != 0)
                return ErrorResponse(result::kStoreBadCriterion, key, Q(reason));
        } else {
            const int column = table->FieldIndex(S(key));
            if (column < 0 || hidden(table->fields[static_cast<std::size_t>(column)].name))
                return ErrorResponse(result::kBadRequest, key, QStringLiteral("数据表中没有此字段"));
            const FieldDef& field = table->fields[static_cast<std::size_t>(column)];
            selection.Where(field.name, CriterionValue(field.type, value));
        }
    }
    for (const Condition& c : selection.where) {
        const int column = table->FieldIndex(c.field);
        if (column < 0 || hidden(table->fields[static_cast<std::size_t>(column)].name))
            return ErrorResponse(result::kNoSuchField, QStringLiteral("where"), Q(c.field));
    }
    QString why;
    if (const int r = OpenReader(why); r != 0) return ErrorResponse(r, {}, why);
    RowReader rows;
    if (const int r = rows.Open(reader_->Connection(), selection); r != 0)
        return ErrorResponse(r, {}, Q(rows.LastErrorText()));
    std::int64_t total = 0;
    std::vector<StoredRow> window;
    if (const int r = rows.Count(total); r != 0) return ErrorResponse(r, {}, Q(rows.LastErrorText()));
    if (const int r = rows.ReadWindow(offset, static_cast<int>(limit), window); r != 0)
        return ErrorResponse(r, {}, Q(rows.LastErrorText()));
    QJsonArray list;
    for (const StoredRow& row : window) {
        QJsonObject json = RowJson(*table, row);
        if (hidePassword) json.remove(Q(std::string(kCardPasswordField)));
        list.append(json);
    }
    return JsonResponse({{"table", Q(table->name)},
                         {"total", static_cast<qint64>(total)},
                         {"limit", static_cast<qint64>(limit)},
                         {"offset", static_cast<qint64>(offset)},
                         {"rows", list}});
}

void Service::Sale(const HttpRequest& request, const ResponderPtr& responder) {
    SaleBody sale;
    if (auto bad = ParseSaleBody(request.body, sale)) return responder->Send(BadField(*bad));
    const QString kind = sale.kind, saleId = sale.saleId, returned = sale.returned, payer = sale.payer;
    const std::int64_t fh = sale.fhNumber, mode = sale.invMode;
    const std::vector<SaleItem> items = sale.items;
    // The body's decimal texts become hundredths here, exactly; a third decimal is refused, never rounded.
    karvex::Sale typed;
    typed.kind = kind == u"issue" ? SaleKind::Issue : SaleKind::Return;
    typed.returnedInvoice = S(returned);
    typed.fhNumber = static_cast<std::int32_t>(fh);
    typed.invMode = static_cast<std::int32_t>(mode);
    typed.payer = S(payer);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const SaleItem& item = items[i];
        SaleGoods line{S(item.name), 0, 0, 0, static_cast<std::int32_t>(item.taxIndex)};
        const struct {
            const QString& text;
            ResultCode belowOne;
            std::int64_t& value;
            const char* field;
        } numbers[] = {{item.quantity, result::kQuantityZero, line.quantity, "quantity"},
                       {item.price, result::kBadUnitPrice, line.price, "price"},
                       {item.amount, result::kBadAmount, line.amount, "amount"}};
        for (const auto& n : numbers) {
            if (const ResultCode r = ParseGoodsNumber(S(n.text), n.belowOne, n.value); r != result::kSuccess)
                return responder->Send(
                    ErrorResponse(r, QStringLiteral("goods[%1].%2").arg(i).arg(QLatin1String(n.field)),
                                  r == result::kNotDecimalNumber ? QStringLiteral("最多两位小数") : QString()));
        }
        typed.goods.push_back(std::move(line));
    }
    const bool queued = OnLine(responder, [=, this] {
        const int r = fiscal_.FiscalMakeInv(saleId, typed);
        if (--queuedSales_[saleId] <= 0) queuedSales_.remove(saleId);
        // The journal's record says what became of the sale, also for a repeat that sent nothing.
        HttpResponse record = SaleRecord(saleId);
        if (r == 0 && record.status == 200) return record;
        QString detail;
        if (r == result::kAnswerNextCommand) detail = QStringLiteral("税控器未开出此发票，销售未开票");
        if (r == result::kSaleInDoubt) detail = QStringLiteral("有一笔销售结果未明，查明之前不开新发票");
        HttpResponse refused = ErrorResponse(r, RefusedField(r, payer, returned, items), detail);
        if (record.status == 200) {
            // In doubt, or not issued: the client learns the sale's state beside the code, and the journal's
            // record whole under "sale", so the error keeps one shape however the record grows.
            QJsonObject body = QJsonDocument::fromJson(refused.body).object();
            const QJsonObject sale = QJsonDocument::fromJson(record.body).object();
            body.insert("sale", sale);
            if (r == result::kSaleInDoubt)
                body.insert("state", QStringLiteral("in-doubt"));
            else if (sale.value("state") == QLatin1String("not-issued"))
                body.insert("state", sale.value("state"));
            refused.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
        }
        return refused;
    });
    if (queued) ++queuedSales_[saleId];
}

void Service::SaleLookup(const QString& saleId, const ResponderPtr& responder) {
    if (auto bad = CheckSaleId(saleId)) return responder->Send(BadField(*bad));
    HttpResponse record = SaleRecord(saleId);
    if (record.status == 404 && queuedSales_.contains(saleId))
        return responder->Send(JsonResponse({{"sale_id", saleId}, {"state", QStringLiteral("queued")}}));
    const bool inDoubt = record.status == 200 && QJsonDocument::fromJson(record.body).object().value("state") ==
                                                     QLatin1String(journal::kInDoubt.data(), journal::kInDoubt.size());
    // A sale in doubt is asked after again, in the line's turn: once the processor answers, the client learns
    // what became of it instead of "in-doubt" for ever. Look-ups that come while one asking waits for the line
    // share it, so a client polling an unreachable processor does not fill the queue with them.
    if (!inDoubt) return responder->Send(record);
    const bool first = resolveWaiters_.empty();
    resolveWaiters_.emplace_back(responder, saleId);
    if (!first) return;
    queue_.Enqueue([this] {
        fiscal_.FiscalResolveSales();
        const auto waiters = std::move(resolveWaiters_);
        resolveWaiters_.clear();
        for (const auto& [waiter, id] : waiters) waiter->Send(SaleRecord(id));
    });
}

void Service::ConsoleCommand(const QString& codeText, const ResponderPtr& responder) {
    bool ok = false;
    const uint code = codeText.toUInt(&ok, 0);
    const CommandInfo* info = ok && code <= 0xFF ? FindCommand(static_cast<std::uint8_t>(code)) : nullptr;
    // Only the console's commands without a payload that send at once, as its menu does.
    if (!info || !info->menuDirect)
        return responder->Send(ErrorResponse(result::kNoSuchResource, QStringLiteral("code"),
                                             QStringLiteral("不是可直接发送的控制台命令")));
    const CommandCode command = info->code;
    OnLine(responder, [this, command, code] {
        const int r = FiscalAccess(fiscal_).RunMenuCommand(command);
        if (r == result::kSaleInDoubt)
            return ErrorResponse(r, {}, QStringLiteral("有一笔销售结果未明，查明之前不能执行此命令"));
        if (r != 0) return ErrorResponse(r);
        return JsonResponse({{"command", Q(CommandName(static_cast<std::uint8_t>(code)))},
                             {"code", static_cast<int>(code)},
                             {"result", 0}});
    });
}

void Service::Void(const HttpRequest& request, const ResponderPtr& responder) {
    QJsonObject body;
    if (auto bad = ParseObject(request.body, body)) return responder->Send(BadField(*bad));
    if (auto bad = OnlyKnownFields(body, {"invoice_number"})) return responder->Send(BadField(*bad));
    QString number;
    if (auto bad = TakeText(body, "invoice_number", {}, true, kInvoiceDigits, number))
        return responder->Send(BadField(*bad));
    if (!IsDigits(number, kInvoiceDigits))
        return responder->Send(BadField({"invoice_number", QStringLiteral("必须是 1 到 10 位数字")}));
    OnLine(responder, [this, number]() mutable {
        const int r = fiscal_.FiscalInvalidateInv(number);
        if (r == 0) return JsonResponse({{"invoice_number", number}, {"voided", true}});
        if (r == result::kSaleInDoubt)
            return ErrorResponse(r, {}, QStringLiteral("有一笔销售结果未明，查明之前不能作废发票"));
        const bool aboutNumber =
            r == result::kEmptyInput || r == result::kBadInvoiceNumber || r == result::kInvoiceNumberTooLarge;
        return ErrorResponse(r, aboutNumber ? QStringLiteral("invoice_number") : QString());
    });
}

void Service::PrintData(const QString& which, const ResponderPtr& responder) {
    const bool last = which == u"last";
    if (!last && !IsDigits(which, kInvoiceDigits))
        return responder->Send(BadField({"invoice_number", QStringLiteral("必须是 last 或 1 到 10 位数字")}));
    OnLine(responder, [this, last, which] {
        QString number = last ? QString() : which;
        QString oInvNum, machine, saleUnit, payUnit, taxNumber, taxCode, printDate, name, amount, price, sum;
        std::int32_t invType = 0;
        const std::int32_t asked = last ? kHostLastInvoiceData : kHostPrintDataByNumber;
        const int r = fiscal_.GetPrintInv(asked, number, oInvNum, machine, saleUnit, payUnit, taxNumber, taxCode,
                                          printDate, name, amount, price, sum, invType);
        if (r != 0) return ErrorResponse(r);
        // The processor's print data does not carry the tax indexes: the journal's record of the sale that
        // issued this invoice does, when it went through this service. It is found by the tax control code,
        // which the issue's answer gives at once and no other invoice shares (the number may come later and
        // starts again on a new roll); an index is taken only where the journal's name is the printed one.
        const std::vector<std::pair<QString, int>> journaled = JournalGoods(taxCode);
        const QStringList names = GoodsSlots(name, kGoodsNameBytes), quantities = GoodsSlots(amount, kNumberChars),
                          sums = GoodsSlots(sum, kNumberChars);
        QJsonArray goods;
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QString quantity = quantities.value(i), itemSum = sums.value(i);
            if (names[i].isEmpty() && quantity.isEmpty() && itemSum.isEmpty()) continue;
            const auto at = static_cast<std::size_t>(goods.size());
            goods.append(QJsonObject{{"name", names[i]},
                                     {"quantity", quantity},
                                     {"amount", itemSum},
                                     {"tax_index", at < journaled.size() && journaled[at].first == names[i]
                                                       ? QJsonValue(journaled[at].second)
                                                       : QJsonValue()}});
        }
        return JsonResponse({{"invoice_number", number},
                             {"goods", goods},
                             {"returned_invoice", oInvNum},
                             {"machine_number", machine},
                             {"sale_unit", saleUnit},
                             {"payer", payUnit},
                             {"tax_number", taxNumber},
                             {"tax_code", taxCode},
                             {"print_date", printDate},
                             {"sales_name", name},
                             {"sales_amount", amount},
                             {"sales_price", price},
                             {"sales_sum", sum},
                             {"inv_type", invType}});
    });
}

void Service::RollSummary(const QString& number, const ResponderPtr& responder) {
    if (!IsDigits(number, kInvoiceDigits))
        return responder->Send(BadField({"invoice_number", QStringLiteral("必须是 1 到 10 位数字")}));
    OnLine(responder, [this, number] {
        QString beginDate, endDate, beginNum, endNum, invCode, taxNumber, userName, machine;
        std::int32_t invalidated = 0, normal = 0, returned = 0;
        double normalSum = 0, returnSum = 0;
        const int r = fiscal_.GetInvUseSum(number, beginDate, endDate, beginNum, endNum, invalidated, normal, normalSum,
                                           returned, returnSum, invCode, taxNumber, userName, machine);
        if (r != 0) return ErrorResponse(r);
        return JsonResponse({{"begin_date", beginDate},
                             {"end_date", endDate},
                             {"begin_invoice", beginNum},
                             {"end_invoice", endNum},
                             {"voided", invalidated},
                             {"issued", normal},
                             {"issued_sum", normalSum},
                             {"returned", returned},
                             {"returned_sum", returnSum},
                             {"invoice_code", invCode},
                             {"tax_number", taxNumber},
                             {"user_name", userName},
                             {"machine_number", machine}});
    });
}

}  // namespace karvex::service
