#pragma once
// A small HTTP/1.1 server for the service, on a TCP port and optionally a Unix socket. It reads a request's
// head and body under fixed limits before anything else sees them: a body announced over the limit is
// refused from its head alone and never read in, so a client cannot make the service hold megabytes.
// One request per connection is handled at a time; an answer may come much later (after the line's queue),
// and an answer for a client that has gone is dropped without touching the closed connection.
//
// Why not Qt HttpServer (6.4, Debian 12): it reads a whole body into memory before any handler can refuse
// it, and an answer given after the line's queue to a client that has meanwhile gone writes through a socket
// that is no longer there (the process crashes); it has no Unix socket either.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class QIODevice;
class QLocalServer;
class QTcpServer;
class QTimer;

namespace karvex::service {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest {
    QByteArray method;
    QByteArray target;                     // as sent: path and query
    QString path;                          // percent-decoded, without the query
    QList<QPair<QString, QString>> query;  // percent-decoded name/value pairs, in order
    HeaderList headers;                    // names in lower case
    QByteArray body;
    bool local = false;  // came over the Unix socket

    QByteArray Header(const QByteArray& lowerName) const;
    // The first value of a query parameter; `found` tells an empty value from a missing one.
    QString Query(const QString& name, bool* found = nullptr) const;
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType = "application/json; charset=utf-8";
    QByteArray body;
    HeaderList headers;
};

struct HttpLimits {
    qsizetype maxHead = 16 * 1024;
    qsizetype maxBody = 64 * 1024;
    // A connection that sends nothing for this long while no request of it is under way is closed.
    std::chrono::milliseconds idle{30000};
    // Connections beyond this many are closed at once, before the process runs out of descriptors.
    int maxConnections = 512;
};

class HttpConnection;

// The way back to the client of one request. It may outlive the connection: whatever is sent after the
// client went away goes nowhere.
class Responder {
public:
    explicit Responder(HttpConnection* connection);
    void Send(HttpResponse response);
    // Starts a response of unknown length that stays open (an event stream); false when the client is gone.
    bool StartStream(const QByteArray& contentType, HeaderList headers);
    // One piece of the stream; false when the client is gone.
    bool SendChunk(const QByteArray& data);
    bool Alive() const { return !connection_.isNull(); }
    bool Answered() const { return answered_; }

private:
    QPointer<HttpConnection> connection_;
    bool answered_ = false;
};
using ResponderPtr = std::shared_ptr<Responder>;

class HttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const HttpRequest&, ResponderPtr)>;
    // Answers to requests the server refuses itself (a head or body over its limit, a malformed head).
    using Refusal = std::function<HttpResponse(int status)>;
    // Adds headers to every response (cross-origin permissions), given the request when its head was read.
    using Decorator = std::function<void(const HttpRequest&, HttpResponse&)>;

    HttpServer(Handler handler, Refusal refusal, HttpLimits limits = {}, QObject* parent = nullptr);
    ~HttpServer() override;

    void SetDecorator(Decorator decorator) { decorator_ = std::move(decorator); }
    // Port 0 picks a free one (Port() tells which). False with the system's reason in `error`.
    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    // A Unix socket at `path` (an old socket file there is replaced), reachable by the service's user only.
    bool ListenLocal(const QString& path, QString* error);
    quint16 Port() const;
    const HttpLimits& Limits() const { return limits_; }
    int ConnectionCount() const { return connections_; }

private:
    friend class HttpConnection;
    void Adopt(QIODevice* device, bool local);

    Handler handler_;
    Refusal refusal_;
    Decorator decorator_;
    HttpLimits limits_;
    QTcpServer* tcp_ = nullptr;
    QLocalServer* local_ = nullptr;
    int connections_ = 0;
};

// One client's connection: reads requests one at a time, writes their answers in order.
class HttpConnection : public QObject {
    Q_OBJECT
public:
    HttpConnection(HttpServer& server, QIODevice* device, bool local);
    ~HttpConnection() override;

private:
    friend class Responder;
    enum class State { Head, Body, Waiting, Streaming, Draining };

    void Pump();
    bool TakeHead();
    bool ParseHead(const QByteArray& head);
    void Dispatch();
    void Refuse(int status);
    void Write(HttpResponse response);
    bool StartStream(const QByteArray& contentType, HeaderList headers);
    bool WriteRaw(const QByteArray& bytes);
    void Finish();
    void CloseWhenWritten();
    void Close();
    int Descriptor() const;

    HttpServer& server_;
    QIODevice* device_;
    bool local_;
    State state_ = State::Head;
    QByteArray buffer_;
    HttpRequest request_;
    qsizetype bodyLeft_ = 0;
    bool keepAlive_ = true;
    bool closing_ = false;
    qint64 drained_ = 0;
    QTimer* idle_;
};

}  // namespace karvex::service
