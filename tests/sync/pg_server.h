#pragma once
// A PostgreSQL server of the test's own: initdb in a temporary directory, listening on a free loopback port
// (and a socket in that directory), with a password for TCP logins and a database "central". The server
// refuses to run as root, so a test run as root starts it as the system's "postgres" user (or a user it
// creates for the purpose) and hands it the directory.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace karvex::testing {

class PgServer {
public:
    static constexpr const char* kUser = "karvex";
    static constexpr const char* kPassword = "central-secret-7";
    static constexpr const char* kDatabase = "central";

    // Starts the server; a test failure (and false) when it cannot.
    bool Start() {
        bin_ = BinDir();
        if (bin_.empty()) {
            ADD_FAILURE() << "no PostgreSQL server programs (Debian: postgresql)";
            return false;
        }
        if (!PickUser()) return false;
        data_ = dir_.path() + "/data";
        const std::string pw = dir_.path() + "/pw";
        std::ofstream(pw) << kPassword << "\n";
        if (::geteuid() == 0) {
            ::chown(dir_.path().c_str(), uid_, gid_);
            ::chown(pw.c_str(), uid_, gid_);
        }
        if (Run({bin_ + "/initdb", "-D", data_, "-U", kUser, "--pwfile=" + pw, "--auth-local=trust",
                 "--auth-host=scram-sha-256", "-E", "UTF8", "--locale=C", "--no-sync"}) != 0) {
            ADD_FAILURE() << "initdb failed:\n" << Log();
            return false;
        }
        port_ = FreePort();
        if (!Up()) return false;
        PGconn* c = PQconnectdb(
            ("host=" + dir_.path() + " port=" + std::to_string(port_) + " user=" + kUser + " dbname=postgres").c_str());
        const bool made = PQstatus(c) == CONNECTION_OK && Ok(PQexec(c, "CREATE DATABASE central"));
        if (!made) ADD_FAILURE() << "no database: " << PQerrorMessage(c);
        PQfinish(c);
        // libpq takes a password file only when no one else may read it.
        passfile_ = dir_.path() + "/pgpass";
        std::ofstream(passfile_) << "127.0.0.1:" << port_ << ":*:" << kUser << ":" << kPassword << "\n";
        ::chmod(passfile_.c_str(), 0600);
        return made;
    }

    // A fast stop: sessions are ended, the server shuts down cleanly.
    bool Stop() { return Run({bin_ + "/pg_ctl", "-D", data_, "-m", "fast", "-w", "stop"}) == 0; }
    bool Up() {
        const std::string options = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) + " -k " + dir_.path() +
                                    " -c fsync=off -c synchronous_commit=off";
        if (Run({bin_ + "/pg_ctl", "-D", data_, "-l", dir_.path() + "/server.log", "-o", options, "-w", "start"}) !=
            0) {
            ADD_FAILURE() << "the server did not start:\n" << Log();
            return false;
        }
        return true;
    }
    ~PgServer() {
        if (!data_.empty()) Run({bin_ + "/pg_ctl", "-D", data_, "-m", "immediate", "-w", "stop"});
    }

    // The address a register is given: no password in it.
    std::string Url() const {
        return "postgresql://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(port_) + "/" + kDatabase;
    }
    const std::string& PassFile() const { return passfile_; }
    // A connection of the test's own, through the socket.
    PGconn* Connect() const {
        return PQconnectdb(
            ("host=" + dir_.path() + " port=" + std::to_string(port_) + " user=" + kUser + " dbname=" + kDatabase)
                .c_str());
    }
    int Port() const { return port_; }
    // The postmaster's process id, once started.
    pid_t ServerPid() const {
        std::ifstream in(data_ + "/postmaster.pid");
        long pid = 0;
        in >> pid;
        return static_cast<pid_t>(pid);
    }
    const std::string& Dir() const { return dir_.path(); }
    // A program run as the server's user (a pooler refuses to run as root), not waited for: its pid.
    pid_t Spawn(std::vector<std::string> argv, const std::string& log) const {
        pid_t pid = ::fork();
        if (pid == 0) {
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            if (::geteuid() == 0) {
                ::setgroups(0, nullptr);
                if (::setgid(gid_) != 0 || ::setuid(uid_) != 0) ::_exit(126);
            }
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        return pid;
    }
    // Hands a file the test wrote to the server's user.
    void GiveToServerUser(const std::string& path) const {
        if (::geteuid() == 0) ::chown(path.c_str(), uid_, gid_);
    }
    // Adds a login to the password file.
    void AddPassword(const std::string& user, const std::string& password, int port = 0) const {
        std::ofstream(passfile_, std::ios::app)
            << "127.0.0.1:" << (port ? port : port_) << ":*:" << user << ":" << password << "\n";
    }
    std::string Log() const {
        std::string all;
        for (const char* name : {"/tools.log", "/server.log"}) {
            std::ifstream in(dir_.path() + name);
            all += std::string(std::istreambuf_iterator<char>(in), {});
        }
        return all;
    }

private:
    static bool Ok(PGresult* r) {
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
        return ok;
    }

    static std::string BinDir() {
        glob_t g{};
        std::string found;
        if (::glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0 && g.gl_pathc > 0) {
            found = std::filesystem::path(g.gl_pathv[g.gl_pathc - 1]).parent_path().string();
        }
        globfree(&g);
        return found;
    }

    bool PickUser() {
        uid_ = ::geteuid();
        gid_ = ::getegid();
        if (uid_ != 0) return true;
        for (int attempt = 0; attempt < 2; ++attempt) {
            for (const char* name : {"postgres", "karvex-pg"}) {
                if (const passwd* p = ::getpwnam(name)) {
                    uid_ = p->pw_uid;
                    gid_ = p->pw_gid;
                    return true;
                }
            }
            std::system("useradd --system --no-create-home --shell /usr/sbin/nologin karvex-pg >/dev/null 2>&1");
        }
        ADD_FAILURE() << "no unprivileged user to run the server as";
        return false;
    }

    static int FreePort() {
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

    // Runs a server program as the server's user, its output into the server log.
    int Run(std::vector<std::string> argv) const {
        const std::string log = dir_.path() + "/tools.log";
        pid_t pid = ::fork();
        if (pid == 0) {
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            if (::geteuid() == 0) {
                ::setgroups(0, nullptr);
                if (::setgid(gid_) != 0 || ::setuid(uid_) != 0) ::_exit(126);
            }
            ::chdir(dir_.path().c_str());
            for (const char* v : {"PGDATA", "PGHOST", "PGPORT", "PGUSER", "PGDATABASE", "LD_PRELOAD"}) ::unsetenv(v);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TempDir dir_{"karvex-pg"};
    std::string bin_, data_, passfile_;
    int port_ = 0;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

}  // namespace karvex::testing
