#pragma once
// karvexd's service: the HTTP/JSON interface over one loaded Fiscal control. Requests that use the serial
// line go through the line queue; the status, the store's tables, the event stream and the status page are
// answered at once, also while the line is busy. Every /v1 request carries the bearer token.
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "karvex/fiscal.h"
#include "service/event_hub.h"
#include "service/http_server.h"
#include "service/line_queue.h"
#include "service/token_store.h"

class QJsonArray;

namespace karvex {
class Fiscal;
class StoreAccess;
struct Selection;
}  // namespace karvex

namespace karvex::service {

struct ServiceOptions {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8765;
    QString unixSocket;          // empty: none
    QStringList allowedOrigins;  // origins other than the service's own that may call it from a browser
    std::chrono::milliseconds heartbeat{15000};
    HttpLimits limits;
    // The "sync" part of the status (karvexd --sync); none: null.
    std::function<QJsonObject()> syncStatus;
    // GET /v1/tables/UserInformation shows the card password (税控卡使用口令) only when this is set
    // (karvexd --serve-card-password): whoever holds the token does not need it to sell.
    bool serveCardPassword = false;
};

class Service : public QObject {
    Q_OBJECT
public:
    Service(Fiscal& fiscal, TokenStore& token, ServiceOptions options, QObject* parent = nullptr);
    ~Service() override;

    // Starts listening; false with the reason in `error`.
    bool Start(QString* error);
    quint16 Port() const { return server_.Port(); }
    LineQueue& Queue() { return queue_; }
    // After the line was reopened: brings the processor on line in the queue's turn.
    void BringOnline();
    EventHub& Events() { return events_; }

private:
    struct Route;
    void Handle(const HttpRequest& request, ResponderPtr responder);
    void Decorate(const HttpRequest& request, HttpResponse& response) const;
    bool OriginAllowed(const HttpRequest& request) const;
    bool HostAllowed(const HttpRequest& request) const;
    bool Authorized(const HttpRequest& request);
    // The token a request presents (header, or the query of the event stream).
    QByteArray Presented(const HttpRequest& request) const;
    // Streams opened with a token that is no longer the one are closed.
    void CheckStreams();
    void ServePage(const HttpRequest& request, const ResponderPtr& responder);

    // Runs `call` on the line in its turn and answers with what it gives; false (the client told "busy") when
    // too many wait already.
    bool OnLine(const ResponderPtr& responder, std::function<HttpResponse()> call);

    HttpResponse Status();
    // Adds to a 503 of the line which port and device it is about, and what to look at.
    void NameTheDevice(HttpResponse& response) const;
    // The read-only store connection, opened on first use; 0 or the store's code with its reason.
    int OpenReader(QString& why);
    int ReadSales(const Selection& selection, int limit, bool newestFirst, QJsonArray& out, QString& why);
    // Name and tax index of each item of the journal's sale whose invoice has `taxCode`; empty when none has.
    std::vector<std::pair<QString, int>> JournalGoods(const QString& taxCode);
    HttpResponse SaleRecord(const QString& saleId);
    HttpResponse LatestSales(const HttpRequest& request);
    HttpResponse Table(const HttpRequest& request, const QString& table);
    void Sale(const HttpRequest& request, const ResponderPtr& responder);
    // A sale as the journal knows it; one still waiting in the line's queue is "queued", one in doubt is
    // asked after again in the line's turn.
    void SaleLookup(const QString& saleId, const ResponderPtr& responder);
    void Void(const HttpRequest& request, const ResponderPtr& responder);
    // A console command without payload (rolls already dispensed, machine data, tax items ...), its answer
    // stored as the console would.
    void ConsoleCommand(const QString& code, const ResponderPtr& responder);
    void PrintData(const QString& number, const ResponderPtr& responder);
    void RollSummary(const QString& number, const ResponderPtr& responder);

    Fiscal& fiscal_;
    TokenStore& token_;
    ServiceOptions options_;
    HttpServer server_;
    LineQueue queue_;
    EventHub events_;
    std::unique_ptr<StoreAccess> reader_;
    std::optional<Progress> progress_;  // of the multi-packet answer under way
    std::vector<Route> routes_;
    QHash<QString, int> queuedSales_;                               // sale ids accepted and not yet through the line
    std::vector<std::pair<ResponderPtr, QString>> resolveWaiters_;  // look-ups of sales in doubt
    QTimer* tokenWatch_;
    std::uint64_t tokenGeneration_ = 0;
};

}  // namespace karvex::service
