#include "service/http_server.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <sys/socket.h>

#include <cstdio>

namespace karvex::service {

namespace {

// How much of a refused body is read and thrown away, so that the client can still read the refusal
// before the connection closes; beyond this the connection is closed at once.
constexpr qint64 kMaxDrain = 64ll * 1024 * 1024;

QByteArray Reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QString DecodePart(const QByteArray& part, bool plusIsSpace) {
    QByteArray raw = part;
    if (plusIsSpace) raw.replace('+', ' ');
    return QUrl::fromPercentEncoding(raw);
}

}  // namespace

QByteArray HttpRequest::Header(const QByteArray& lowerName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerName) return value;
    return {};
}

QString HttpRequest::Query(const QString& name, bool* found) const {
    for (const auto& [key, value] : query) {
        if (key == name) {
            if (found) *found = true;
            return value;
        }
    }
    if (found) *found = false;
    return {};
}

Responder::Responder(HttpConnection* connection) : connection_(connection) {}

void Responder::Send(HttpResponse response) {
    if (answered_) return;
    answered_ = true;
    if (connection_) connection_->Write(std::move(response));
}

bool Responder::StartStream(const QByteArray& contentType, HeaderList headers) {
    if (answered_ || !connection_) return false;
    answered_ = true;
    return connection_->StartStream(contentType, std::move(headers));
}

bool Responder::SendChunk(const QByteArray& data) { return connection_ && connection_->WriteRaw(data); }

HttpServer::HttpServer(Handler handler, Refusal refusal, HttpLimits limits, QObject* parent)
    : QObject(parent), handler_(std::move(handler)), refusal_(std::move(refusal)), limits_(limits) {}

HttpServer::~HttpServer() = default;

bool HttpServer::Listen(const QHostAddress& address, quint16 port, QString* error) {
    if (!tcp_) {
        tcp_ = new QTcpServer(this);
        connect(tcp_, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = tcp_->nextPendingConnection()) Adopt(socket, false);
        });
    }
    if (tcp_->listen(address, port)) return true;
    if (error) *error = tcp_->errorString();
    return false;
}

bool HttpServer::ListenLocal(const QString& path, QString* error) {
    if (!local_) {
        local_ = new QLocalServer(this);
        local_->setSocketOptions(QLocalServer::UserAccessOption);
        connect(local_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* socket = local_->nextPendingConnection()) Adopt(socket, true);
        });
    }
    QLocalServer::removeServer(path);
    if (local_->listen(path)) return true;
    if (error) *error = local_->errorString();
    return false;
}

quint16 HttpServer::Port() const { return tcp_ ? tcp_->serverPort() : 0; }

void HttpServer::Adopt(QIODevice* device, bool local) {
    if (connections_ >= limits_.maxConnections) {
        if (auto* tcp = qobject_cast<QAbstractSocket*>(device)) tcp->abort();
        if (auto* unix = qobject_cast<QLocalSocket*>(device)) unix->abort();
        device->deleteLater();
        return;
    }
    ++connections_;
    auto* connection = new HttpConnection(*this, device, local);
    connect(connection, &QObject::destroyed, this, [this] { --connections_; });
}

HttpConnection::HttpConnection(HttpServer& server, QIODevice* device, bool local)
    : QObject(&server), server_(server), device_(device), local_(local), idle_(new QTimer(this)) {
    device_->setParent(this);
    // Qt would otherwise read everything the client sends into memory; with a bound the kernel holds the
    // rest until a request's turn comes.
    if (auto* tcp = qobject_cast<QAbstractSocket*>(device_)) tcp->setReadBufferSize(server_.limits_.maxHead);
    if (auto* unix = qobject_cast<QLocalSocket*>(device_)) unix->setReadBufferSize(server_.limits_.maxHead);
    idle_->setSingleShot(true);
    idle_->setInterval(server_.limits_.idle);
    connect(idle_, &QTimer::timeout, this, [this] {
        if (state_ != State::Waiting && state_ != State::Streaming) Close();
    });
    connect(device_, &QIODevice::readyRead, this, &HttpConnection::Pump);
    connect(device_, &QIODevice::bytesWritten, this, [this] {
        if (closing_ && device_->bytesToWrite() == 0) CloseWhenWritten();
    });
    if (auto* tcp = qobject_cast<QAbstractSocket*>(device_)) {
        connect(tcp, &QAbstractSocket::disconnected, this, &HttpConnection::Close);
    } else if (auto* unix = qobject_cast<QLocalSocket*>(device_)) {
        connect(unix, &QLocalSocket::disconnected, this, &HttpConnection::Close);
    }
    idle_->start();
    QTimer::singleShot(0, this, &HttpConnection::Pump);
}

HttpConnection::~HttpConnection() = default;

int HttpConnection::Descriptor() const {
    if (auto* tcp = qobject_cast<QAbstractSocket*>(device_)) return static_cast<int>(tcp->socketDescriptor());
    if (auto* unix = qobject_cast<QLocalSocket*>(device_)) return static_cast<int>(unix->socketDescriptor());
    return -1;
}

void HttpConnection::Pump() {
    if (!device_) return;
    for (;;) {
        switch (state_) {
        case State::Waiting: return;  // the next request waits until this one is answered
        case State::Streaming:
        case State::Draining: {
            // Nothing a client sends now is taken; it is read and thrown away, within a bound.
            const QByteArray dropped = device_->read(64 * 1024);
            if (dropped.isEmpty()) return;
            drained_ += dropped.size();
            if (drained_ > kMaxDrain) {
                Close();
                return;
            }
            continue;
        }
        case State::Head:
            if (!TakeHead()) return;
            continue;
        case State::Body: {
            if (bodyLeft_ > 0) {
                const QByteArray part = device_->read(bodyLeft_);
                if (part.isEmpty()) return;
                request_.body += part;
                bodyLeft_ -= part.size();
                idle_->start();
            }
            if (bodyLeft_ == 0) Dispatch();
            continue;
        }
        }
    }
}

// Reads up to the end of the head; false when more bytes are needed or the connection was refused.
bool HttpConnection::TakeHead() {
    for (;;) {
        const qsizetype end = buffer_.indexOf("\r\n\r\n");
        if (end >= 0) {
            const QByteArray head = buffer_.left(end);
            const QByteArray rest = buffer_.mid(end + 4);
            buffer_.clear();
            if (!ParseHead(head)) return false;
            // Bytes read past the head belong to the body (at most the head limit of them).
            const qsizetype take = std::min<qsizetype>(rest.size(), bodyLeft_);
            request_.body = rest.left(take);
            bodyLeft_ -= take;
            if (rest.size() > take) buffer_ = rest.mid(take);  // the start of a pipelined request
            state_ = State::Body;
            return true;
        }
        if (buffer_.size() > server_.limits_.maxHead) {
            Refuse(431);
            return false;
        }
        const QByteArray more = device_->read(server_.limits_.maxHead + 4 - buffer_.size());
        if (more.isEmpty()) return false;
        idle_->start();
        buffer_ += more;
    }
}

bool HttpConnection::ParseHead(const QByteArray& head) {
    request_ = HttpRequest{};
    request_.local = local_;
    const QList<QByteArray> lines = head.split('\n');
    QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    if (first.size() != 3 || !first[2].startsWith("HTTP/1.") || first[1].isEmpty() || first[0].isEmpty()) {
        Refuse(400);
        return false;
    }
    request_.method = first[0];
    request_.target = first[1];
    keepAlive_ = first[2] != "HTTP/1.0";
    qsizetype length = 0;
    bool sawLength = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            Refuse(400);
            return false;
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request_.headers.append({name, value});
        if (name == "content-length") {
            bool ok = false;
            const qlonglong n = value.toLongLong(&ok);
            // Two different lengths, or one that is no plain number, leave the body's end unknown.
            if (!ok || n < 0 || (sawLength && n != length) || value.startsWith('+')) {
                Refuse(400);
                return false;
            }
            if (n > server_.limits_.maxBody) {
                Refuse(413);
                return false;
            }
            length = static_cast<qsizetype>(n);
            sawLength = true;
        } else if (name == "transfer-encoding") {
            // A chunked body has no announced length to check before reading it; clients of this service
            // send small bodies with a length.
            Refuse(value.toLower() == "identity" ? 400 : 413);
            return false;
        } else if (name == "connection") {
            const QByteArray v = value.toLower();
            if (v.contains("close")) keepAlive_ = false;
            if (v.contains("keep-alive")) keepAlive_ = true;
        }
    }
    const qsizetype queryAt = request_.target.indexOf('?');
    const QByteArray rawPath = queryAt < 0 ? request_.target : request_.target.left(queryAt);
    request_.path = DecodePart(rawPath, false);
    if (queryAt >= 0) {
        for (const QByteArray& pair : request_.target.mid(queryAt + 1).split('&')) {
            if (pair.isEmpty()) continue;
            const qsizetype eq = pair.indexOf('=');
            request_.query.append({DecodePart(eq < 0 ? pair : pair.left(eq), true),
                                   eq < 0 ? QString() : DecodePart(pair.mid(eq + 1), true)});
        }
    }
    bodyLeft_ = length;
    if (length > 0 && request_.Header("expect").toLower() == "100-continue") WriteRaw("HTTP/1.1 100 Continue\r\n\r\n");
    return true;
}

void HttpConnection::Dispatch() {
    state_ = State::Waiting;
    idle_->stop();
    auto responder = std::make_shared<Responder>(this);
    server_.handler_(request_, responder);
}

void HttpConnection::Refuse(int status) {
    keepAlive_ = false;
    Write(server_.refusal_(status));
}

void HttpConnection::Write(HttpResponse response) {
    if (!device_ || closing_) return;
    if (server_.decorator_) server_.decorator_(request_, response);
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + Reason(response.status) + "\r\n";
    if (!response.contentType.isEmpty()) out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
    if (!keepAlive_) out += "Connection: close\r\n";
    out += "\r\n";
    out += response.body;
    WriteRaw(out);
    Finish();
}

bool HttpConnection::StartStream(const QByteArray& contentType, HeaderList headers) {
    if (!device_ || closing_) return false;
    HttpResponse head;
    head.headers = std::move(headers);
    if (server_.decorator_) server_.decorator_(request_, head);
    QByteArray out = "HTTP/1.1 200 OK\r\nContent-Type: " + contentType +
                     "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n";
    for (const auto& [name, value] : head.headers) out += name + ": " + value + "\r\n";
    out += "\r\n";
    state_ = State::Streaming;
    return WriteRaw(out);
}

bool HttpConnection::WriteRaw(const QByteArray& bytes) {
    if (!device_ || closing_) return false;
    return device_->write(bytes) == bytes.size();
}

// After an answer: the next request of a kept connection, or the end of the connection.
void HttpConnection::Finish() {
    if (keepAlive_) {
        state_ = State::Head;
        request_ = HttpRequest{};
        idle_->start();
        // Not from here: the answer may be written from inside a handler.
        QTimer::singleShot(0, this, &HttpConnection::Pump);
        return;
    }
    // The client may still be sending a refused body; it is read and dropped so that it can read the
    // answer, and it sees the end of the answer when the writing side is shut.
    state_ = State::Draining;
    closing_ = true;
    idle_->start();
    if (device_->bytesToWrite() == 0) CloseWhenWritten();
    QTimer::singleShot(0, this, &HttpConnection::Pump);
}

void HttpConnection::CloseWhenWritten() {
    const int fd = Descriptor();
    if (fd >= 0) ::shutdown(fd, SHUT_WR);
}

void HttpConnection::Close() {
    if (!device_) return;
    idle_->stop();
    QIODevice* device = device_;
    device_ = nullptr;
    device->disconnect(this);
    if (auto* tcp = qobject_cast<QAbstractSocket*>(device)) tcp->abort();
    if (auto* unix = qobject_cast<QLocalSocket*>(device)) unix->abort();
    deleteLater();
}

}  // namespace karvex::service
