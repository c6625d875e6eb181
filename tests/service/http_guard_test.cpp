// karvexd's HTTP layer against clients that do not play by the rules: malformed heads, a client that shuts
// its sending side, one that sends a byte now and then, and more connections than there are slots.
#include <gtest/gtest.h>

#include <QJsonObject>

#include <string>
#include <vector>

#include "contract.h"
#include "daemon.h"
#include "support/processor.h"
#include "support/temp_dir.h"

namespace {

using namespace karvex::testing;

const std::string kSale =
    R"({"kind":"issue","sale_id":"HC-1","goods":[{"name":"苹果","quantity":"2","price":"3.50","amount":"7.00","tax_index":1}]})";

class HttpGuard : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = StartProcessor();
        ASSERT_NE(sim_, nullptr);
    }
    void TearDown() override {
        if (daemon_) {
            EXPECT_EQ(daemon_->Stop(), 0);
        }
        if (sim_) sim_->stop();
    }
    void Start(std::vector<std::string> extra = {}) {
        daemon_ = std::make_unique<Daemon>(dir_.path(), sim_->device_path());
        ASSERT_TRUE(daemon_->Start(std::move(extra)));
        token_ = daemon_->Token();
    }
    Reply Send(const std::string& bytes, bool shutWrite = false) {
        Connection c(daemon_->Port());
        c.Send(bytes);
        if (shutWrite) c.ShutdownWrite();
        Reply r = c.Read();
        // Refused or answered, it is what the API document says.
        EXPECT_EQ(contract_.MismatchOfRequest(bytes, r), "");
        return r;
    }

    Contract contract_;
    TempDir dir_{"karvexd-guard"};
    std::unique_ptr<karvex::sim::Simulator> sim_;
    std::unique_ptr<Daemon> daemon_;
    std::string token_;
};

// Each head a proxy in front could read otherwise than the service gets its own status and says what is
// wrong; heads that are merely unusual still pass.
TEST_F(HttpGuard, MalformedHeadsAreRefusedSayingWhy) {
    Start();
    const std::string auth = "Authorization: Bearer " + token_ + "\r\n";
    std::string hundred, hundredOne;
    for (int i = 0; i < 99; ++i) hundred += "X-N" + std::to_string(i) + ": 1\r\n";
    hundredOne = hundred + "X-Last: 1\r\n";
    struct Row {
        const char* what;
        std::string head;
        int status;
        const char* detail;  // a part of the answer's detail; empty: an answer of the route
    };
    const Row rows[] = {
        {"folded authorization", "GET /v1/status HTTP/1.1\r\nHost: localhost\r\nX-A: 1\r\n " + auth + "\r\n", 400,
         "折行"},
        {"blank before a colon", "POST /v1/sales HTTP/1.1\r\nHost: localhost\r\nContent-Length : 2\r\n\r\n{}", 400,
         "冒号前"},
        {"space in a name", "GET / HTTP/1.1\r\nHost: localhost\r\nX Y: 1\r\n\r\n", 400, "冒号前"},
        {"line without a colon", "GET / HTTP/1.1\r\nHost: localhost\r\nnocolon\r\n\r\n", 400, "冒号"},
        {"HTTP/2.0", "GET / HTTP/2.0\r\nHost: localhost\r\n\r\n", 505, "HTTP/1.1"},
        {"HTTP/1.2", "GET / HTTP/1.2\r\nHost: localhost\r\n\r\n", 505, "HTTP/1.1"},
        {"not a version", "GET / HTTP/1.x\r\nHost: localhost\r\n\r\n", 400, "请求行"},
        {"method of no token", "G(T / HTTP/1.1\r\nHost: localhost\r\n\r\n", 400, "请求行"},
        {"two hosts", "GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n", 400, "Host"},
        {"no host", "GET / HTTP/1.1\r\nX-A: 1\r\n\r\n", 400, "Host"},
        {"bare LF throughout", "GET /v1/status HTTP/1.1\nHost: localhost\n\n", 400, "CR LF"},
        {"one bare LF", "GET / HTTP/1.1\r\nHost: localhost\nX-A: 1\r\n\r\n", 400, "CR LF"},
        {"control character in a value", "GET / HTTP/1.1\r\nHost: localhost\r\nX-A: a\x01b\r\n\r\n", 400, "控制字符"},
        {"signed length", "POST /v1/sales HTTP/1.1\r\nHost: localhost\r\nContent-Length: +2\r\n\r\n{}", 400,
         "Content-Length"},
        {"two lengths",
         "POST /v1/sales HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}", 400,
         "Content-Length"},
        {"chunked", "POST /v1/sales HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 501,
         "Transfer-Encoding"},
        {"101 header lines", "GET / HTTP/1.1\r\nHost: localhost\r\n" + hundredOne + "\r\n", 431, "100"},
        {"100 header lines", "GET / HTTP/1.1\r\nHost: localhost\r\n" + hundred + "\r\n", 200, ""},
        {"HTTP/1.0 with a host", "GET / HTTP/1.0\r\nHost: localhost\r\n\r\n", 200, ""},
        {"empty line before the request", "\r\nGET / HTTP/1.1\r\nHost: localhost\r\n\r\n", 200, ""},
        {"tab around a value", "GET /v1/status HTTP/1.1\r\nHost: localhost\r\n" + auth + "X-A:\t1\t\r\n\r\n", 200, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Reply r = Send(row.head);
        EXPECT_EQ(r.status, row.status) << r.body;
        if (*row.detail == 0) continue;
        EXPECT_NE(r.json["detail"].toString().toStdString().find(row.detail), std::string::npos) << r.body;
        EXPECT_EQ(r.headers.count("connection") ? r.headers.at("connection") : "", "close");
    }
}

// A client that shuts its sending side after its request still gets the answer: a sale sent that way is
// issued once and the client learns its invoice; pipelined requests before the end are all answered, and
// a request cut short by the end is refused, not left hanging.
TEST_F(HttpGuard, HalfClosedClientGetsItsAnswer) {
    Start();
    const Reply sale = Send(RequestText("POST", "/v1/sales", token_, kSale), true);
    ASSERT_EQ(sale.status, 200) << sale.body;
    EXPECT_EQ(sale.json["state"].toString(), "issued");
    // The invoice number is the one the processor gave it, ten digits.
    EXPECT_EQ(sale.json["invoice_number"].toString().size(), 10) << sale.body;
    EXPECT_EQ(sim_->state().invoices.size(), 1u);

    Connection two(daemon_->Port());
    two.Send(RequestText("GET", "/v1/status", token_) + RequestText("GET", "/v1/sales/HC-1", token_));
    two.ShutdownWrite();
    EXPECT_EQ(two.Read().status, 200);
    EXPECT_EQ(two.Read().json["invoice_number"], sale.json["invoice_number"]);

    const Reply cut = Send("GET /v1/status HTTP/1.1\r\nHost: loc", true);
    EXPECT_EQ(cut.status, 400) << cut.body;
    const Reply shortBody = Send(RequestText("POST", "/v1/sales", token_, kSale).substr(0, 200), true);
    EXPECT_EQ(shortBody.status, 400) << shortBody.body;
    EXPECT_EQ(sim_->state().invoices.size(), 1u);
}

// A request must arrive whole within its time, however often its client sends a byte; and when the slots
// run short the connection that has been sending its request longest makes room, so a client with a whole
// request is answered and the Unix socket's slots stay free for its clients.
TEST_F(HttpGuard, SlowClientsCannotHoldTheSlots) {
    const std::string socket = dir_.path() + "/karvexd.sock";
    Start({"--request-timeout", "300", "--max-connections", "32", "--unix-socket", socket});
    {
        Connection slow(daemon_->Port());
        // At least one byte per idle time-out and never the end of the head; the deadline ends it.
        const std::string head = "GET /v1/status HTTP/1.1\r\nX-Slow: ";
        slow.Send(head);
        std::string trickle(2000, 'a');
        bool answered = false;
        for (std::size_t i = 0; i < trickle.size() && !answered; ++i) {
            if (!slow.Send(trickle.substr(i, 1))) break;
            pollfd p{slow.Fd(), POLLIN, 0};
            answered = ::poll(&p, 1, 20) > 0;
        }
        EXPECT_EQ(slow.Read().status, 408);
    }
    // 40 connections with half a head each: 30 TCP slots (2 kept for the Unix socket).
    std::vector<std::unique_ptr<Connection>> held;
    for (int i = 0; i < 40; ++i) {
        held.push_back(std::make_unique<Connection>(daemon_->Port()));
        held.back()->Send("GET /v1/status HTTP/1.1\r\n");
    }
    EXPECT_EQ(Send(RequestText("GET", "/v1/status", token_)).status, 200);
    // One process on the Unix socket holds at most 4 of 32 slots: its fifth connection closes its oldest.
    std::vector<std::unique_ptr<Connection>> mine;
    for (int i = 0; i < 4; ++i) {
        mine.push_back(std::make_unique<Connection>(socket));
        mine.back()->Send("GET /v1/status HTTP/1.1\r\n");
    }
    Connection local(socket);
    local.Send(RequestText("GET", "/v1/status", token_));
    EXPECT_EQ(local.Read().status, 200);
    EXPECT_EQ(mine[0]->Read().status, 0) << "the process's oldest connection was kept";
}

}  // namespace
