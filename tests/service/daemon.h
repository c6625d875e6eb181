#pragma once
// karvexd as the API tests run it: a process of its own on a port it picks, with a data directory of its
// own, port 1 on the given device; and a plain blocking HTTP client that sends exactly the bytes it is given.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace karvex::testing {

struct Reply {
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    QJsonObject json;  // the body, when it is a JSON object
};

// Spawns `argv` with `env` added to this process's environment (KARVEX_ variables of the caller left out);
// its standard output goes to the returned descriptor.
// Standard error goes to `errors` (not this process's own, which a test runner may wait on).
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int* out,
                   const std::string& errors = "/dev/null") {
    std::vector<std::string> fullEnv = env;
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.rfind("KARVEX_", 0) != 0) fullEnv.push_back(v);
    }
    std::vector<char*> cargv, cenv;
    for (auto& a : const_cast<std::vector<std::string>&>(argv)) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& v : fullEnv) cenv.push_back(v.data());
    cenv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, cargv.data(), cenv.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    *out = fds[0];
    return pid;
}

class Daemon {
public:
    Daemon(std::string dataDir, std::string device) : dataDir_(std::move(dataDir)), device_(std::move(device)) {}
    ~Daemon() { Stop(); }

    // Starts it and waits for the line that names its port; false (and a test failure) when it does not come.
    bool Start(std::vector<std::string> extra = {}, std::vector<std::string> env = {}) {
        std::vector<std::string> argv = {KARVEXD_PATH, "--port", "0", "--data-dir", dataDir_, "--serial-port", "1"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        env.push_back("KARVEX_COM1=" + device_);
        env.push_back("QT_QPA_PLATFORM=offscreen");
        pid_ = Spawn(argv, env, &out_, dataDir_ + "/karvexd.stderr");
        if (pid_ < 0) {
            ADD_FAILURE() << "cannot start " << KARVEXD_PATH;
            return false;
        }
        std::string text;
        char c;
        pollfd p{out_, POLLIN, 0};
        while (text.find('\n') == std::string::npos && ::poll(&p, 1, 120000) > 0 && ::read(out_, &c, 1) == 1) text += c;
        const auto at = text.find("127.0.0.1:");
        if (at == std::string::npos) {
            ADD_FAILURE() << "karvexd did not start: " << text;
            return false;
        }
        port_ = std::stoi(text.substr(at + 10));
        return true;
    }
    // SIGTERM and the exit status (-1 when it did not exit normally).
    int Stop() {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        ::close(out_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int Port() const { return port_; }
    std::string TokenFile() const { return dataDir_ + "/karvexd.token"; }
    std::string Token() const {
        std::ifstream in(TokenFile());
        std::string token;
        std::getline(in, token);
        return token;
    }
    const std::string& DataDir() const { return dataDir_; }

private:
    std::string dataDir_;
    std::string device_;
    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = 0;
};

// A connection to the service; reads block for at most a minute, so a service that hangs fails the test.
class Connection {
public:
    explicit Connection(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{60, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "cannot connect";
    }
    // Over the Unix socket at `path`.
    explicit Connection(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{60, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            ADD_FAILURE() << "cannot connect to " << path;
    }
    ~Connection() { Close(); }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Sends what it can; false when the service closed the connection first.
    bool Send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Says that nothing more will be sent (shutdown(SHUT_WR)); the answers may still be read.
    void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    // One response: status line, headers, a body of Content-Length bytes (or up to the end of the stream).
    Reply Read() {
        Reply r;
        std::string::size_type end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!Fill()) return r;
        const std::string head = buffer_.substr(0, end);
        buffer_.erase(0, end + 4);
        r.status = std::stoi(head.substr(9, 3));
        std::size_t at = head.find("\r\n");
        while (at != std::string::npos) {
            const std::size_t next = head.find("\r\n", at + 2);
            const std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
            const auto colon = line.find(':');
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
            at = next;
        }
        if (r.headers.count("content-length")) {
            const std::size_t length = std::stoul(r.headers["content-length"]);
            while (buffer_.size() < length)
                if (!Fill()) break;
            r.body = buffer_.substr(0, length);
            buffer_.erase(0, length);
        }
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.body));
        if (doc.isObject()) r.json = doc.object();
        return r;
    }
    // Reads the stream until `text` has come; false when it ends first.
    bool ReadUntil(const std::string& text) {
        while (buffer_.find(text) == std::string::npos)
            if (!Fill()) return false;
        return true;
    }
    const std::string& Buffer() const { return buffer_; }
    int Fd() const { return fd_; }

private:
    bool Fill() {
        char buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        buffer_.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    int fd_ = -1;
    std::string buffer_;
};

inline std::string RequestText(const std::string& method, const std::string& path, const std::string& token,
                               const std::string& body = {}, const std::string& extraHeaders = {}) {
    std::string r = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.empty()) r += "Authorization: Bearer " + token + "\r\n";
    r += extraHeaders;
    if (!body.empty() || method == "POST")
        r += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

}  // namespace karvex::testing
