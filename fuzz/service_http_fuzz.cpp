// karvexd's HTTP layer and request bodies: whatever bytes a local process sends on a connection, through
// the head and body reader, pipelining and the end of input, to routes that apply the service's own body
// checks and answer at once, one event-loop turn later (as after the line's queue) or as an event stream.
// The first input byte chooses Unix-socket or TCP handling and how the bytes are cut into writes; the rest
// is what the client sends before it shuts its sending side.
//
// Properties: no crash; the connection ends by itself once the client's end is read (nothing waits for
// bytes that cannot come); what comes back is a sequence of whole HTTP/1.1 responses, each with a body of
// its Content-Length, every refusal a JSON object with a result code and a message; a sale body the checks
// accept has a well-formed sale id and no control character in any text.
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "service/api_error.h"
#include "service/http_server.h"
#include "service/request_body.h"

using namespace karvex;
using namespace karvex::service;

namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "service_http_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

bool HasControl(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F)) return true;
    return false;
}

std::vector<ResponderPtr> streams;

void Route(const HttpRequest& request, ResponderPtr responder) {
    if (request.method == "POST" && request.path == u"/v1/sales") {
        SaleBody sale;
        if (auto bad = ParseSaleBody(request.body, sale)) {
            responder->Send(ErrorResponse(result::kBadRequest, bad->field, bad->detail));
            return;
        }
        FUZZ_CHECK(!CheckSaleId(sale.saleId), "an accepted sale id fails its own check");
        FUZZ_CHECK(!HasControl(sale.saleId) && !HasControl(sale.payer) && !HasControl(sale.returned),
                   "a control character passed the checks");
        for (const SaleItem& item : sale.items) FUZZ_CHECK(!HasControl(item.name), "a control character in a name");
        QTimer::singleShot(0, [responder] { responder->Send(JsonResponse({{"state", "issued"}})); });
        return;
    }
    if (request.path == u"/v1/events") {
        if (responder->StartStream("text/event-stream", {})) {
            responder->SendChunk(": karvexd\n\n");
            streams.push_back(responder);
        }
        return;
    }
    if (request.path.startsWith(u"/v1/sales/")) {
        responder->Send(CheckSaleId(request.path.mid(10))
                            ? ErrorResponse(result::kBadRequest, QStringLiteral("sale_id"))
                            : JsonResponse({{"state", "queued"}}));
        return;
    }
    responder->Send(JsonResponse({{"path", request.path}}));
}

HttpServer& Server() {
    static HttpServer* server = [] {
        HttpLimits limits;
        limits.maxHead = 2048;
        limits.maxBody = 4096;
        limits.maxPending = 8192;
        return new HttpServer(Route, RefusalResponse, limits);
    }();
    return *server;
}

// The responses in `out`, one after the other; a stream, if any, is last.
void CheckResponses(const std::string& out) {
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t end = out.find("\r\n\r\n", at);
        FUZZ_CHECK(end != std::string::npos, "a response head cut short at %zu", at);
        const std::string head = out.substr(at, end - at);
        FUZZ_CHECK(head.rfind("HTTP/1.1 ", 0) == 0 && head.size() >= 12, "not a status line: %s", head.c_str());
        const int status = std::stoi(head.substr(9, 3));
        at = end + 4;
        if (status == 100) continue;
        const std::size_t length = head.find("\r\nContent-Length: ");
        if (length == std::string::npos) {
            FUZZ_CHECK(head.find("text/event-stream") != std::string::npos, "a response without a length");
            return;  // the stream runs to the end of the connection
        }
        const std::size_t size = std::stoul(head.substr(length + 18));
        FUZZ_CHECK(at + size <= out.size(), "a body shorter than its Content-Length");
        if (status >= 400) {
            const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(at, size))).object();
            FUZZ_CHECK(body.contains("code") && !body.value("message").toString().isEmpty(),
                       "a refusal %d without its code and message", status);
        }
        at += size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    App();
    if (size == 0) return 0;
    const bool local = (data[0] & 1) != 0;
    const std::size_t piece = (data[0] >> 1) + 1;
    ++data;
    --size;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    Server().Adopt(fds[0], local);

    std::string out;
    const auto drain = [&] {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fds[1], buf, sizeof buf, 0);
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            // The service closed its side (a reset when it left bytes of ours unread).
            return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        }
    };
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fds[1], data + sent, std::min(piece, size - sent), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) break;  // the service closed the connection early
        if (n > 0) sent += static_cast<std::size_t>(n);
        QCoreApplication::processEvents();
        drain();
    }
    ::shutdown(fds[1], SHUT_WR);
    bool closed = false;
    for (int turn = 0; turn < 20000 && !closed; ++turn) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        closed = drain();
    }
    FUZZ_CHECK(closed, "the connection stayed open after the client's end");
    ::close(fds[1]);
    streams.clear();
    // The service may have shut its side of a refused request while the client's body was still on its way: it
    // frees the connection when it reads the client's end, on a later turn of the loop.
    for (int turn = 0; turn < 20000 && Server().ConnectionCount() != 0; ++turn) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    FUZZ_CHECK(Server().ConnectionCount() == 0, "a connection outlived its socket");
    CheckResponses(out);
    return 0;
}
