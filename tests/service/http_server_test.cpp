// The service's HTTP layer in this process, over socket pairs: what a client that reads nothing can make it
// hold.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "service/api_error.h"
#include "service/http_server.h"

namespace {

using namespace karvex::service;

constexpr qsizetype kPending = 16 * 1024;
const QByteArray kAnswer(4096, 'a');

HttpLimits SmallLimits() {
    HttpLimits limits;
    limits.maxPending = kPending;
    return limits;
}

// A client end of a connection the server was handed; non-blocking.
int Connect(HttpServer& server) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    // Small kernel buffers, so that a few hundred requests fill them.
    for (const int fd : fds) {
        const int size = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    server.Adopt(fds[0], false);
    return fds[1];
}

// Pipelined requests while the client reads nothing: the answers wait for the client in the kernel, the
// requests in the kernel too, never in the service's memory; once the client reads, every one is answered.
TEST(HttpLayer, PipelinedAnswersWaitForTheClientNotInMemory) {
    HttpServer server(
        [](const HttpRequest&, ResponderPtr p) {
            p->Send(JsonResponse({{"x", QString(kAnswer)}}));
        },
        RefusalResponse, SmallLimits());
    const int fd = Connect(server);
    const std::string request = "GET /x HTTP/1.1\r\nHost: a\r\n\r\n";
    constexpr int kRequests = 3000;
    std::string out(static_cast<std::size_t>(kRequests) * request.size(), '\0');
    for (int i = 0; i < kRequests; ++i)
        out.replace(static_cast<std::size_t>(i) * request.size(), request.size(), request);
    std::size_t sent = 0;
    qsizetype mostHeld = 0;
    // Until neither side moves: the client's writes blocked, the service waiting for the client to read.
    for (int idle = 0; idle < 50;) {
        const ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<std::size_t>(n);
        QCoreApplication::processEvents();
        mostHeld = std::max(mostHeld, server.HeldBytes());
        idle = n > 0 ? 0 : idle + 1;
    }
    EXPECT_LT(sent, out.size()) << "the service read every request although nothing was read of its answers";
    EXPECT_LE(mostHeld, kPending + 2 * kAnswer.size() + 16 * 1024);

    // Then it reads, having said all it will: every request is answered and the connection ends.
    std::string in;
    int answers = 0;
    bool ended = false;
    for (int turn = 0; turn < 1000000 && !ended; ++turn) {
        if (sent < out.size()) {
            const ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n > 0) sent += static_cast<std::size_t>(n);
            if (sent == out.size()) ::shutdown(fd, SHUT_WR);
        }
        QCoreApplication::processEvents();
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) in.append(buf, static_cast<std::size_t>(n));
        ended = n == 0;
        for (std::size_t at; (at = in.find("HTTP/1.1 200 OK")) != std::string::npos; ++answers) in.erase(0, at + 15);
    }
    EXPECT_EQ(answers, kRequests);
    EXPECT_TRUE(ended);
    ::close(fd);
}

// An event-stream client that reads nothing is dropped once it is that far behind, not kept up with.
TEST(HttpLayer, StreamClientThatFallsBehindIsDropped) {
    ResponderPtr stream;
    HttpServer server(
        [&](const HttpRequest&, ResponderPtr p) {
            p->StartStream("text/event-stream", {});
            stream = p;
        },
        RefusalResponse, SmallLimits());
    const int fd = Connect(server);
    const std::string request = "GET /v1/events HTTP/1.1\r\nHost: a\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    for (int i = 0; i < 1000 && !stream; ++i) QCoreApplication::processEvents();
    ASSERT_TRUE(stream);
    int sent = 0;
    const QByteArray event = "data: " + QByteArray(1000, 'e') + "\n\n";
    // The kernel's buffers take a few hundred KiB; the service holds at most its bound beyond them.
    while (sent < 100000 && stream->SendChunk(event)) {
        ++sent;
        QCoreApplication::processEvents();
    }
    EXPECT_LT(sent, 100000);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(stream->Alive());
    EXPECT_EQ(server.ConnectionCount(), 0);
    ::close(fd);
}

}  // namespace
