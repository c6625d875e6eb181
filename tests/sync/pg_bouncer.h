#pragma once
// A transaction pooler in front of the test's server, the way a chain serves many registers: PgBouncer
// (Debian: pgbouncer) on a free loopback port, in transaction pooling, started as the server's user. It
// logs clients in with the passwords of its user list and uses the same passwords towards the server.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pg_server.h"

namespace karvex::testing {

class PgBouncer {
public:
    static std::string Program() {
        for (const char* p : {"/usr/sbin/pgbouncer", "/usr/bin/pgbouncer"})
            if (std::filesystem::exists(p)) return p;
        return {};
    }

    // `logins`: user and password pairs that may pass.
    bool Start(const PgServer& server, const std::vector<std::pair<std::string, std::string>>& logins,
               int maxClients = 200, int poolSize = 4) {
        if (Program().empty()) {
            ADD_FAILURE() << "no pgbouncer (Debian: pgbouncer)";
            return false;
        }
        dir_ = server.Dir() + "/bouncer";
        std::filesystem::create_directories(dir_);
        server.GiveToServerUser(dir_);
        {
            std::ofstream users(dir_ + "/users.txt");
            for (const auto& [user, password] : logins) users << '"' << user << "\" \"" << password << "\"\n";
        }
        port_ = FreeLoopbackPort();
        std::ofstream(dir_ + "/pgbouncer.ini")
            << "[databases]\n"
            << PgServer::kDatabase << " = host=127.0.0.1 port=" << server.Port() << " dbname=" << PgServer::kDatabase
            << "\n[pgbouncer]\nlisten_addr = 127.0.0.1\nlisten_port = " << port_
            << "\nunix_socket_dir =\nauth_type = scram-sha-256\nauth_file = " << dir_
            << "/users.txt\npool_mode = transaction\nmax_client_conn = " << maxClients
            << "\ndefault_pool_size = " << poolSize << "\nserver_login_retry = 1\nlogfile = " << dir_
            << "/pgbouncer.log\n";
        for (const char* f : {"/users.txt", "/pgbouncer.ini"}) {
            ::chmod((dir_ + f).c_str(), 0600);
            server.GiveToServerUser(dir_ + f);
        }
        pid_ = server.Spawn({Program(), dir_ + "/pgbouncer.ini"}, dir_ + "/out.log");
        // Up when it takes a connection; bounded, it guards against a hang and times nothing.
        for (int i = 0; i < 500; ++i) {
            if (Accepts()) return true;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "pgbouncer did not start:\n" << Log();
        return false;
    }
    ~PgBouncer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    int Port() const { return port_; }
    std::string Url(const std::string& user) const {
        return "postgresql://" + user + "@127.0.0.1:" + std::to_string(port_) + "/" + PgServer::kDatabase;
    }
    std::string Log() const {
        std::string all;
        for (const char* name : {"/out.log", "/pgbouncer.log"}) {
            std::ifstream in(dir_ + name);
            all += std::string(std::istreambuf_iterator<char>(in), {});
        }
        return all;
    }

    static int FreeLoopbackPort() {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(s);
        return ntohs(a.sin_port);
    }

private:
    bool Accepts() const {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port_));
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        return ok;
    }

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace karvex::testing
