#include "service/http_server.h"

#include <QLocalServer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace karvex::service {

namespace {

// How much of a refused body is read and thrown away, so that the client can still read the refusal
// before the connection closes; beyond this the connection is closed at once.
constexpr qint64 kMaxDrain = 64ll * 1024 * 1024;
constexpr qsizetype kReadChunk = 64 * 1024;

QByteArray Reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

QString DecodePart(const QByteArray& part, bool plusIsSpace) {
    QByteArray raw = part;
    if (plusIsSpace) raw.replace('+', ' ');
    return QUrl::fromPercentEncoding(raw);
}

// The characters of a header name or a method (RFC 9110 "token").
bool IsToken(const QByteArray& text) {
    if (text.isEmpty()) return false;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F) return false;
        if (std::strchr("\"(),/:;<=>?@[\\]{}", c) != nullptr) return false;
    }
    return true;
}

bool HasControl(const QByteArray& text, bool tabAllowed) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && !(tabAllowed && c == '\t')) || u == 0x7F) return true;
    }
    return false;
}

QByteArray TrimBlanks(const QByteArray& text) {
    qsizetype from = 0, to = text.size();
    while (from < to && (text[from] == ' ' || text[from] == '\t')) ++from;
    while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t')) --to;
    return text.mid(from, to - from);
}

// Who is at the other end, when that can be told apart from other clients: the process on a Unix socket,
// the address of a peer that is not this machine. Loopback TCP clients all share one address.
QByteArray PeerOf(int fd, bool local) {
    if (local) {
        ucred cred{};
        socklen_t size = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0) return "pid:" + QByteArray::number(cred.pid);
        return {};
    }
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&address);
        if ((ntohl(a->sin_addr.s_addr) >> 24) == 127) return {};
        ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&address);
        if (IN6_IS_ADDR_LOOPBACK(&a->sin6_addr) || IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) return {};
        ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    } else {
        return {};
    }
    return QByteArray("ip:") + text;
}

}  // namespace

// The listeners hand over the accepted descriptor itself: no Qt socket object is made for it.
class HttpServer::TcpListener : public QTcpServer {
public:
    explicit TcpListener(HttpServer& server) : QTcpServer(&server), server_(server) {}

protected:
    void incomingConnection(qintptr fd) override { server_.Adopt(static_cast<int>(fd), false); }

private:
    HttpServer& server_;
};

class HttpServer::LocalListener : public QLocalServer {
public:
    explicit LocalListener(HttpServer& server) : QLocalServer(&server), server_(server) {}

protected:
    void incomingConnection(quintptr fd) override { server_.Adopt(static_cast<int>(fd), true); }

private:
    HttpServer& server_;
};

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

void Responder::Close() {
    if (connection_) connection_->Close();
}

HttpServer::HttpServer(Handler handler, Refusal refusal, HttpLimits limits, QObject* parent)
    : QObject(parent), handler_(std::move(handler)), refusal_(std::move(refusal)), limits_(limits) {}

HttpServer::~HttpServer() {
    // Before the members go: a connection's end takes it off the list.
    const std::vector<HttpConnection*> open = std::move(connections_);
    connections_.clear();
    for (HttpConnection* c : open) delete c;
}

bool HttpServer::Listen(const QHostAddress& address, quint16 port, QString* error) {
    if (!tcp_) tcp_ = new TcpListener(*this);
    if (tcp_->listen(address, port)) return true;
    if (error) *error = tcp_->errorString();
    return false;
}

bool HttpServer::ListenLocal(const QString& path, QString* error) {
    if (!local_) {
        local_ = new LocalListener(*this);
        local_->setSocketOptions(QLocalServer::UserAccessOption);
    }
    QLocalServer::removeServer(path);
    if (local_->listen(path)) return true;
    if (error) *error = local_->errorString();
    return false;
}

quint16 HttpServer::Port() const { return tcp_ ? tcp_->serverPort() : 0; }

void HttpServer::Adopt(int fd, bool local) {
    const QByteArray peer = PeerOf(fd, local);
    if (!peer.isEmpty()) {
        const auto same = std::count_if(connections_.begin(), connections_.end(),
                                        [&](const HttpConnection* c) { return c->peer_ == peer; });
        if (same >= limits_.perPeer && !Evict(false, peer)) {
            ::close(fd);
            return;
        }
    }
    const auto tcp =
        std::count_if(connections_.begin(), connections_.end(), [](const HttpConnection* c) { return !c->local_; });
    const bool full = local ? static_cast<int>(connections_.size()) >= limits_.maxConnections
                            : tcp >= limits_.maxConnections - limits_.localSlots;
    // A connection that is only kept open makes room; one whose request is under way never does.
    if (full && !Evict(!local, {})) {
        ::close(fd);
        return;
    }
    connections_.push_back(new HttpConnection(*this, fd, local, peer));
}

bool HttpServer::Evict(bool tcpOnly, const QByteArray& peer) {
    HttpConnection* victim = nullptr;
    for (HttpConnection* c : connections_) {
        if (tcpOnly && c->local_) continue;
        if (!peer.isEmpty() && c->peer_ != peer) continue;
        const int rank = c->EvictionClass();
        if (rank < 0) continue;
        if (!victim || rank < victim->EvictionClass() ||
            (rank == victim->EvictionClass() && c->since_ < victim->since_))
            victim = c;
    }
    if (!victim) return false;
    victim->Close();
    return true;
}

qsizetype HttpServer::HeldBytes() const {
    qsizetype held = 0;
    for (const HttpConnection* c : connections_) held += c->out_.size() + c->buffer_.size() + c->request_.body.size();
    return held;
}

void HttpServer::Forget(HttpConnection* connection) {
    connections_.erase(std::remove(connections_.begin(), connections_.end(), connection), connections_.end());
}

HttpConnection::HttpConnection(HttpServer& server, int fd, bool local, QByteArray peer)
    : QObject(&server),
      server_(server),
      fd_(fd),
      local_(local),
      peer_(std::move(peer)),
      readable_(new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read, this)),
      writable_(new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Write, this)),
      since_(++server.stamp_),
      idle_(new QTimer(this)),
      deadline_(new QTimer(this)) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    writable_->setEnabled(false);
    idle_->setSingleShot(true);
    idle_->setInterval(server_.limits_.idle);
    connect(idle_, &QTimer::timeout, this, [this] {
        if (state_ != State::Waiting && state_ != State::Streaming) Close();
    });
    deadline_->setSingleShot(true);
    deadline_->setInterval(server_.limits_.request);
    connect(deadline_, &QTimer::timeout, this, [this] {
        if (state_ == State::Head || state_ == State::Body)
            Refuse(408, QStringLiteral("请求未在 %1 秒内收完").arg(server_.limits_.request.count() / 1000.0));
    });
    connect(readable_, &QSocketNotifier::activated, this, &HttpConnection::Pump);
    connect(writable_, &QSocketNotifier::activated, this, &HttpConnection::Flush);
    idle_->start();
}

HttpConnection::~HttpConnection() {
    server_.Forget(this);
    if (fd_ >= 0) ::close(fd_);
}

int HttpConnection::EvictionClass() const {
    switch (state_) {
    case State::Draining: return 0;
    case State::Head:
        // Kept open between requests, nothing of the next one sent: the first to go.
        if (served_ && buffer_.isEmpty()) return 1;
        return 2;  // a request being sent (or none yet): the one that began longest ago goes first
    case State::Body: return 2;
    case State::Streaming: return 3;
    case State::Waiting: return -1;
    }
    return -1;
}

QByteArray HttpConnection::ReadSome(qsizetype max) {
    if (fd_ < 0 || eof_ || max <= 0) return {};
    QByteArray bytes(std::min(max, kReadChunk), Qt::Uninitialized);
    const ssize_t n = ::recv(fd_, bytes.data(), static_cast<size_t>(bytes.size()), 0);
    if (n > 0) {
        bytes.truncate(n);
        return bytes;
    }
    if (n == 0) {
        eof_ = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // Reset by the client: nothing more can be read, and nothing it would still read.
        eof_ = true;
        out_.clear();
    }
    return {};
}

void HttpConnection::Pump() {
    for (;;) {
        if (fd_ < 0) return;
        switch (state_) {
        case State::Waiting: UpdateNotifiers(); return;  // the next request waits until this one is answered
        case State::Streaming:
        case State::Draining: {
            // Nothing a client sends now is taken; it is read and thrown away, within a bound.
            const QByteArray dropped = ReadSome(kReadChunk);
            if (dropped.isEmpty()) {
                if (eof_ && (state_ == State::Streaming || out_.isEmpty())) {
                    Close();
                    return;
                }
                UpdateNotifiers();
                return;
            }
            drained_ += dropped.size();
            if (drained_ > kMaxDrain) {
                Close();
                return;
            }
            continue;
        }
        case State::Head:
            // Answers pile up unread: the next request waits in the kernel until the client catches up.
            if (out_.size() > server_.limits_.maxPending) {
                UpdateNotifiers();
                return;
            }
            if (TakeHead()) continue;
            if (fd_ >= 0 && state_ == State::Head && eof_) {
                // The client has said all it will: a request begun is incomplete; otherwise the connection
                // ends once its answers are out.
                if (!buffer_.isEmpty()) {
                    Refuse(400, QStringLiteral("请求头不完整"));
                } else {
                    keepAlive_ = false;
                    state_ = State::Draining;
                    closing_ = true;
                    Flush();
                }
                continue;
            }
            UpdateNotifiers();
            return;
        case State::Body: {
            if (bodyLeft_ > 0) {
                const QByteArray part = ReadSome(bodyLeft_);
                if (part.isEmpty()) {
                    if (eof_) {
                        Refuse(400, QStringLiteral("请求内容不完整（未收完声明的长度）"));
                        continue;
                    }
                    UpdateNotifiers();
                    return;
                }
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
        // An empty line before a request is passed over (some clients end a body with one).
        while (buffer_.startsWith("\r\n")) buffer_.remove(0, 2);
        const qsizetype crlf = buffer_.indexOf("\n\r\n");
        const qsizetype lf = buffer_.indexOf("\n\n");
        if (lf >= 0 && (crlf < 0 || lf < crlf)) {
            Refuse(400, QStringLiteral("行尾必须是 CR LF"));
            return false;
        }
        if (crlf >= 0) {
            const QByteArray head = buffer_.left(crlf + 1);
            const QByteArray rest = buffer_.mid(crlf + 3);
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
            Refuse(431, QStringLiteral("请求头超过 %1 KiB").arg(server_.limits_.maxHead / 1024));
            return false;
        }
        const QByteArray more = ReadSome(server_.limits_.maxHead + 4 - buffer_.size());
        if (more.isEmpty()) return false;
        if (!deadline_->isActive()) deadline_->start();
        idle_->start();
        buffer_ += more;
    }
}

// The head up to and with the CR LF of its last line. Anything a proxy in front could read otherwise than
// this server does (folded lines, bare LF, a blank before a colon, two Host lines) is refused, not guessed.
bool HttpConnection::ParseHead(const QByteArray& head) {
    request_ = HttpRequest{};
    request_.local = local_;
    QList<QByteArray> lines;
    for (qsizetype at = 0; at < head.size();) {
        const qsizetype end = head.indexOf("\r\n", at);
        const QByteArray line = head.mid(at, end - at);
        if (line.contains('\r') || line.contains('\n')) {
            Refuse(400, QStringLiteral("行尾必须是 CR LF"));
            return false;
        }
        lines.append(line);
        at = end + 2;
    }
    const QList<QByteArray> first = lines.value(0).split(' ');
    if (first.size() != 3 || !IsToken(first[0]) || first[1].isEmpty() || HasControl(first[1], false) ||
        !(first[1].startsWith('/') || first[1] == "*")) {
        Refuse(400, QStringLiteral("请求行格式错误"));
        return false;
    }
    const QByteArray& version = first[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        const bool shaped = version.size() == 8 && version.startsWith("HTTP/") && std::isdigit(version[5]) &&
                            version[6] == '.' && std::isdigit(version[7]);
        if (shaped) {
            Refuse(505, QStringLiteral("只支持 HTTP/1.0 和 HTTP/1.1"));
        } else {
            Refuse(400, QStringLiteral("请求行格式错误"));
        }
        return false;
    }
    if (lines.size() - 1 > server_.limits_.maxHeaderLines) {
        Refuse(431, QStringLiteral("请求头超过 %1 行").arg(server_.limits_.maxHeaderLines));
        return false;
    }
    request_.method = first[0];
    request_.target = first[1];
    keepAlive_ = version == "HTTP/1.1";
    qsizetype length = 0;
    bool sawLength = false;
    int hosts = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        if (line.startsWith(' ') || line.startsWith('\t')) {
            Refuse(400, QStringLiteral("不接受折行的请求头"));
            return false;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon < 0) {
            Refuse(400, QStringLiteral("请求头缺少冒号"));
            return false;
        }
        if (!IsToken(line.left(colon))) {
            Refuse(400, QStringLiteral("请求头名称含非法字符（冒号前不能有空格）"));
            return false;
        }
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = TrimBlanks(line.mid(colon + 1));
        if (HasControl(value, true)) {
            Refuse(400, QStringLiteral("请求头 %1 的值含控制字符").arg(QString::fromLatin1(name)));
            return false;
        }
        request_.headers.append({name, value});
        if (name == "host") {
            ++hosts;
        } else if (name == "content-length") {
            bool ok = !value.isEmpty() && value.size() <= 18;
            for (const char c : value) ok = ok && c >= '0' && c <= '9';
            const qsizetype n = ok ? static_cast<qsizetype>(value.toLongLong()) : 0;
            // Two different lengths, or one that is no plain number, leave the body's end unknown.
            if (!ok || (sawLength && n != length)) {
                Refuse(400, QStringLiteral("Content-Length 无效"));
                return false;
            }
            if (n > server_.limits_.maxBody) {
                Refuse(413);
                return false;
            }
            length = n;
            sawLength = true;
        } else if (name == "transfer-encoding") {
            // A chunked body has no announced length to check before reading it; clients of this service
            // send small bodies with a length.
            Refuse(501, QStringLiteral("不支持 Transfer-Encoding，请求内容须以 Content-Length 声明长度"));
            return false;
        } else if (name == "connection") {
            const QByteArray v = value.toLower();
            if (v.contains("close")) keepAlive_ = false;
            if (v.contains("keep-alive")) keepAlive_ = true;
        }
    }
    if (hosts != 1) {
        Refuse(400, QStringLiteral("必须恰好有一个 Host 请求头"));
        return false;
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
    deadline_->stop();
    UpdateNotifiers();
    auto responder = std::make_shared<Responder>(this);
    server_.handler_(request_, responder);
}

void HttpConnection::Refuse(int status, const QString& detail) {
    keepAlive_ = false;
    Write(server_.refusal_(status, detail));
}

void HttpConnection::Write(HttpResponse response) {
    if (fd_ < 0 || closing_) return;
    if (server_.decorator_) server_.decorator_(request_, response);
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + Reason(response.status) + "\r\n";
    if (!response.contentType.isEmpty()) out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
    if (!keepAlive_) out += "Connection: close\r\n";
    out += "\r\n";
    out += response.body;
    out_ += out;
    Finish();
    Flush();
}

bool HttpConnection::StartStream(const QByteArray& contentType, HeaderList headers) {
    if (fd_ < 0 || closing_) return false;
    HttpResponse head;
    head.headers = std::move(headers);
    if (server_.decorator_) server_.decorator_(request_, head);
    QByteArray out = "HTTP/1.1 200 OK\r\nContent-Type: " + contentType +
                     "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n";
    for (const auto& [name, value] : head.headers) out += name + ": " + value + "\r\n";
    out += "\r\n";
    state_ = State::Streaming;
    since_ = ++server_.stamp_;
    return WriteRaw(out);
}

bool HttpConnection::WriteRaw(const QByteArray& bytes) {
    if (fd_ < 0 || closing_) return false;
    // A stream's client that reads nothing would make the service keep every event for it: it is dropped,
    // and comes back with the last id it saw.
    if (state_ == State::Streaming && out_.size() + bytes.size() > server_.limits_.maxPending) {
        Close();
        return false;
    }
    out_ += bytes;
    Flush();
    return fd_ >= 0;
}

void HttpConnection::Flush() {
    while (fd_ >= 0 && !out_.isEmpty()) {
        const ssize_t n = ::send(fd_, out_.constData(), static_cast<size_t>(out_.size()), MSG_NOSIGNAL);
        if (n > 0) {
            out_.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            Close();  // the client is gone; what it was sent goes nowhere
            return;
        }
    }
    if (fd_ < 0) return;
    if (out_.isEmpty() && closing_) {
        // The client sees the end of the answer; a refused body it still sends is read and dropped.
        ::shutdown(fd_, SHUT_WR);
        if (eof_) {
            Close();
            return;
        }
    }
    UpdateNotifiers();
    // A pipelined request already read, or the client's end, may have waited for the answers to drain.
    if (state_ == State::Head && (!buffer_.isEmpty() || eof_)) QTimer::singleShot(0, this, &HttpConnection::Pump);
}

void HttpConnection::UpdateNotifiers() {
    if (fd_ < 0) return;
    bool read = !eof_;
    if (state_ == State::Waiting) read = false;
    if (state_ == State::Head && out_.size() > server_.limits_.maxPending) read = false;
    readable_->setEnabled(read);
    writable_->setEnabled(!out_.isEmpty());
}

// After an answer: the next request of a kept connection, or the end of the connection.
void HttpConnection::Finish() {
    deadline_->stop();
    if (fd_ < 0) return;
    served_ = true;
    since_ = ++server_.stamp_;
    idle_->start();
    if (keepAlive_) {
        state_ = State::Head;
        request_ = HttpRequest{};
        // Not from here: the answer may be written from inside a handler.
        QTimer::singleShot(0, this, &HttpConnection::Pump);
        return;
    }
    // The client may still be sending a refused body; it is read and dropped so that it can read the
    // answer, and it sees the end of the answer when the writing side is shut.
    state_ = State::Draining;
    closing_ = true;
    QTimer::singleShot(0, this, &HttpConnection::Pump);
}

void HttpConnection::Close() {
    if (fd_ < 0) return;
    idle_->stop();
    deadline_->stop();
    readable_->setEnabled(false);
    writable_->setEnabled(false);
    server_.Forget(this);
    ::close(fd_);
    fd_ = -1;
    out_.clear();
    deleteLater();
}

}  // namespace karvex::service
