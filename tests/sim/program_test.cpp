// The karvex-sim program as people start it: options, the ready line, the log file and a clean stop.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "peer.h"

extern char** environ;

namespace karvex::sim {
namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // read end of the program's standard output
};

Child spawn(const std::vector<std::string>& args, const std::string& err_file = "/dev/null") {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv{const_cast<char*>(KARVEX_SIM_PROGRAM)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Child run;
  if (posix_spawn(&run.pid, KARVEX_SIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) run.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  run.out = pipe_fds[0];
  return run;
}

// Reads the program's output up to the first line feed, waiting at most `timeout_ms`.
std::string read_line(int fd, int timeout_ms = 5000) {
  std::string line;
  char c;
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0 || ::read(fd, &c, 1) != 1 || c == '\n') break;
    line.push_back(c);
  }
  return line;
}

int finish(const Child& run) {
  int status = 0;
  ::waitpid(run.pid, &status, 0);
  ::close(run.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(SimProgram, ServesAPtyLogsTrafficAndStopsOnSigterm) {
  char dir[] = "/tmp/karvex-sim-prog-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string device_file = std::string(dir) + "/device", log = std::string(dir) + "/traffic.log";
  Child run = spawn({"--device-file", device_file, "--log", log, "--clock", "20240315103000", "--invoices", "5",
                     "--from", "20240310", "--fault", "CurrentInvoice:er:35"});
  ASSERT_GT(run.pid, 0);
  const std::string ready = read_line(run.out);
  const std::string prefix = "karvex-sim: processor ready on ";
  ASSERT_EQ(ready.rfind(prefix, 0), 0u) << ready;
  const std::string path = ready.substr(prefix.size());
  EXPECT_EQ(slurp(device_file), path + "\n");
  {
    testing::Peer peer(path);
    ASSERT_TRUE(peer.ok());
    peer.send({0x1B, 0x10, 0x33, 0x00, 0x05, 0x47, 0x2C});
    EXPECT_EQ(peer.read_frame(), (Bytes{0x45, 0x52, 0x00, 0x05, 0x23, 0x69, 0x4A}));
    peer.send({0x1B, 0x10, 0x33, 0x00, 0x05, 0x47, 0x2C});
    const Bytes a = peer.read_frame();
    ASSERT_EQ(a.size(), 10u);
    EXPECT_EQ(get_u32(a, 4), 6u);
  }
  ::kill(run.pid, SIGTERM);
  EXPECT_EQ(finish(run), 0);
  const std::string traffic = slurp(log);
  EXPECT_NE(traffic.find("<< 1B 10 33 00 05 47 2C\n;; fault CurrentInvoice:er:35\n>> 45 52 00 05 23 69 4A\n"),
            std::string::npos)
      << traffic;
  EXPECT_NE(traffic.find(">> 4F 4B 00 08 00 00 00 06 BD DE\n"), std::string::npos) << traffic;
  std::remove(device_file.c_str());
  std::remove(log.c_str());
  ::rmdir(dir);
}

TEST(SimProgram, StopsOnSigint) {
  Child run = spawn({"--quiet"});
  ASSERT_GT(run.pid, 0);
  ASSERT_EQ(read_line(run.out).rfind("karvex-sim: processor ready on /dev/pts/", 0), 0u);
  ::kill(run.pid, SIGINT);
  EXPECT_EQ(finish(run), 0);
}

TEST(SimProgram, HelpAndBadOptions) {
  Child help = spawn({"--help"});
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(help.out, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  EXPECT_EQ(finish(help), 0);
  for (const char* option : {"--device", "--baud", "--device-file", "--pace", "--rolls", "--invoices", "--from", "--to",
                             "--seed", "--state", "--fault", "--random-faults", "--random-late", "--log", "--quiet"}) {
    EXPECT_NE(text.find(option), std::string::npos) << option;
  }
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},
      {"--baud", "1234"},
      {"--from", "20240230"},
      {"--fault", "0x33:boom"},
      {"--random-faults", "2"},
      {"--rolls"},
      {"--clock", "2024"},
      {"--device", "/nonexistent/tty"},
      {"--random-late", "-5"},
  };
  for (const auto& args : bad) {
    Child run = spawn(args);
    EXPECT_NE(finish(run), 0) << args[0];
  }
}

}  // namespace
}  // namespace karvex::sim
