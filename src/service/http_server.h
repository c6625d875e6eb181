#pragma once
// A small HTTP/1.1 server for the service, on a TCP port and optionally a Unix socket. It reads a request's
// head and body under fixed limits before anything else sees them: a body announced over the limit is
// refused from its head alone and never read in, so a client cannot make the service hold megabytes.
// One request per connection is handled at a time; an answer may come much later (after the line's queue),
// and an answer for a client that has gone is dropped without touching the closed connection.
//
// What one connection can make the service hold is bounded both ways: a head, a body and at most
// `maxPending` bytes of answers waiting to be sent (plus the one answer that crossed it). Above that the
// connection reads no further pipelined request until its client has taken its answers, and an event-stream
// client that falls that far behind is dropped. With `maxConnections` connections that is the whole bound.
//
// The sockets are read and written directly (not through QTcpSocket/QLocalSocket): a client that shuts its
// sending side after a request still gets its answer, where Qt's sockets close on the end of input.
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
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
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
    int maxHeaderLines = 100;
    // Answers waiting to be sent on one connection before it stops taking requests (or, streaming, is dropped).
    qsizetype maxPending = 256 * 1024;
    // A connection that sends nothing for this long while no request of it is under way is closed.
    std::chrono::milliseconds idle{30000};
    // A whole request, head and body, from its first byte: a client sending a byte now and then cannot hold
    // a connection with an unfinished request for longer.
    std::chrono::milliseconds request{10000};
    // Connections beyond this many are refused, before the process runs out of descriptors; `localSlots` of
    // them only the Unix socket's clients may take, so a flood over TCP cannot shut out the register's own
    // programs.
    int maxConnections = 512;
    int localSlots = 32;
    // Connections of one peer that can be told apart (a process on the Unix socket, a remote address; not
    // loopback TCP, whose clients all look alike).
    int perPeer = 64;
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
    // Ends the connection (a stream whose client may no longer have it).
    void Close();
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
    using Refusal = std::function<HttpResponse(int status, const QString& detail)>;
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
    int ConnectionCount() const { return static_cast<int>(connections_.size()); }
    // Bytes the connections hold between the kernel and the handlers (requests read, answers unsent).
    qsizetype HeldBytes() const;
    // Serves a connected stream socket, as if it had been accepted (`local`: as from the Unix socket); the
    // server owns the descriptor from then on.
    void Adopt(int fd, bool local);

private:
    friend class HttpConnection;
    class TcpListener;
    class LocalListener;
    // Closes the connection that can best be spared among `pool` (all or TCP only); false when none can.
    bool Evict(bool tcpOnly, const QByteArray& peer);
    void Forget(HttpConnection* connection);

    Handler handler_;
    Refusal refusal_;
    Decorator decorator_;
    HttpLimits limits_;
    TcpListener* tcp_ = nullptr;
    LocalListener* local_ = nullptr;
    std::vector<HttpConnection*> connections_;
    std::uint64_t stamp_ = 0;  // orders the connections' events without a clock
};

// One client's connection: reads requests one at a time, writes their answers in order.
class HttpConnection : public QObject {
    Q_OBJECT
public:
    HttpConnection(HttpServer& server, int fd, bool local, QByteArray peer);
    ~HttpConnection() override;

private:
    friend class Responder;
    friend class HttpServer;
    enum class State { Head, Body, Waiting, Streaming, Draining };

    void Pump();
    bool TakeHead();
    bool ParseHead(const QByteArray& head);
    void Dispatch();
    void Refuse(int status, const QString& detail = {});
    void Write(HttpResponse response);
    bool StartStream(const QByteArray& contentType, HeaderList headers);
    bool WriteRaw(const QByteArray& bytes);
    // Reads at most `max` bytes the kernel holds; empty when there are none now (eof_ tells the end).
    QByteArray ReadSome(qsizetype max);
    void Flush();
    void UpdateNotifiers();
    void Finish();
    void Close();
    // How readily this connection gives up its slot: lower first; -1 never (its request is under way).
    int EvictionClass() const;

    HttpServer& server_;
    int fd_;
    bool local_;
    QByteArray peer_;  // who it is, when it can be told (empty otherwise)
    QSocketNotifier* readable_;
    QSocketNotifier* writable_;
    State state_ = State::Head;
    QByteArray buffer_;
    QByteArray out_;  // answers the kernel has not taken yet
    HttpRequest request_;
    qsizetype bodyLeft_ = 0;
    bool keepAlive_ = true;
    bool closing_ = false;
    bool eof_ = false;     // the client shut its sending side
    bool served_ = false;  // at least one request answered: idle now means kept alive between requests
    qint64 drained_ = 0;
    std::uint64_t since_ = 0;  // when it began its present state (in the server's stamps)
    QTimer* idle_;
    QTimer* deadline_;
};

}  // namespace karvex::service
