// karvex-sim: plays the tax-control processor on a pseudo-terminal or a serial device until stopped.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "simulator.h"

namespace {

using karvex::sim::DateTime;

const char kUsage[] =
    "Usage: karvex-sim [options]\n"
    "Plays a tax-control processor on a pseudo-terminal (or a serial device) until SIGINT or SIGTERM.\n"
    "Prints the device path a serial terminal program or the Karvex library can open.\n"
    "\n"
    "Line:\n"
    "  --device PATH          serve this serial device instead of a new pseudo-terminal\n"
    "  --baud N               speed of --device (9600 or 38400; default 9600)\n"
    "  --device-file PATH     also write the device path to PATH (one line)\n"
    "  --pace BAUD            write answers no faster than this wire speed (9600 or 38400); default: no pacing\n"
    "  --request-timeout MS   answer \"ER\" 34 when a started request stops arriving for MS ms (default 500)\n"
    "\n"
    "Processor state:\n"
    "  --rolls N              invoice rolls installed at start (default 2; 100 invoices each)\n"
    "  --spare-rolls N        rolls dispensed but not installed (default 1)\n"
    "  --roll-size N          invoices per roll (default 100)\n"
    "  --renumber-rolls       every installed roll numbers from 1 again\n"
    "  --invoices N           invoices already issued, spread over --from..--to (default 0)\n"
    "  --from yyyymmdd        first day of the seeded invoices (default: the processor's today)\n"
    "  --to yyyymmdd          last day of the seeded invoices (default: the processor's today)\n"
    "  --seed S               seed of the seeded invoices and of --random-faults (default 1)\n"
    "  --clock yyyymmddhhmmss fix the processor's clock at this time (default: follow the local time)\n"
    "  --state FILE           keep the state in FILE: read at start when it exists, written each time\n"
    "                         the processor acts on a command (before it answers)\n"
    "\n"
    "Faults:\n"
    "  --fault CMD:KIND[:ARG[:DELAY]][:always]\n"
    "                         commit a fault on the next answer to CMD (a name such as CurrentInvoice, a code\n"
    "                         such as 0x33 or 51, or * for any); one-shot unless :always is added. KIND:\n"
    "                           drop       the request is lost: the processor neither acts nor answers\n"
    "                           er:CODE    \"ER\" answer with processor code CODE; the processor does not act\n"
    "                           np         \"NP\" answer; the processor does not act\n"
    "                           lost       the processor acts (an issue or return is issued and kept, --state\n"
    "                                      FILE included) but its answer never arrives (also: silent)\n"
    "                         the kinds below also let the processor act first, then delay or damage its answer,\n"
    "                         so that an issue whose answer was damaged or late has been issued:\n"
    "                           wt[:N[:MS]] N \"WT\" frames (default 1), MS ms apart (default 50), then the answer\n"
    "                           cut[:I]    frame I (default 0) cut off half-way\n"
    "                           noise[:N]  N noise bytes (default 3) before the answer\n"
    "                           crc[:I]    corrupted CRC in frame I (default 0)\n"
    "                           len[:I]    frame I one payload byte short (its CRC fits)\n"
    "                           gap[:MS]   MS ms between the frames of an answer (default 100)\n"
    "                           slow[:MS]  answer written byte by byte, MS ms apart (default 1)\n"
    "                           late[:MS]  answer MS ms late (default 100)\n"
    "                         may be given several times\n"
    "  --random-faults RATE   commit a random fault on this share of the requests (0 to 1), seeded by --seed:\n"
    "                         each kind above but late as likely, er with a code of 1 to 64\n"
    "  --random-late MS       let --random-faults also answer late, up to MS ms (default 0: never)\n"
    "\n"
    "Replay:\n"
    "  --replay FILE          play the processor from a trace the library recorded (KARVEX_TRACE=FILE or\n"
    "                         karvex --trace FILE): each request gets what the recorded processor sent after\n"
    "                         it, with the recorded pauses; a request other than the recorded one is reported\n"
    "                         (and answered as recorded); the exit status is 1 when any differed\n"
    "  --replay-fast          answer at once instead of with the recorded pauses\n"
    "\n"
    "Log (\"<<\" received, \">>\" sent, in hexadecimal):\n"
    "  --log FILE             append the log to FILE instead of standard error\n"
    "  --quiet                no log on standard error\n"
    "  --help                 this text\n"
    "  --version              the version\n";

bool to_number(std::string_view text, long long& value, long long lo, long long hi) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size() && value >= lo && value <= hi;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "karvex-sim: %s\nTry karvex-sim --help.\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  karvex::sim::SimOptions options;
  std::string device_file;
  std::uint64_t seed = 1;
  double rate = 0.0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string_view v;
    long long n = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("karvex-sim %s\n", KARVEX_VERSION_TEXT);
      return 0;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--renumber-rolls") {
      options.seed.renumber_rolls = true;
    } else if (arg == "--replay-fast") {
      options.replay_fast = true;
    } else if (!value(v)) {
      return usage_error(std::string(arg.substr(0, 2) == "--" ? "option " : "unknown argument ") + std::string(arg) +
                         (arg.substr(0, 2) == "--" ? " needs a value or is unknown" : ""));
    } else if (arg == "--device") {
      options.device = v;
    } else if (arg == "--baud") {
      if (!to_number(v, n, 1, 4000000) || (n != 9600 && n != 38400)) return usage_error("--baud must be 9600 or 38400");
      options.baud = static_cast<int>(n);
    } else if (arg == "--device-file") {
      device_file = v;
    } else if (arg == "--pace") {
      if (!to_number(v, n, 1, 4000000) || (n != 9600 && n != 38400)) return usage_error("--pace must be 9600 or 38400");
      options.pace_baud = static_cast<int>(n);
    } else if (arg == "--request-timeout") {
      if (!to_number(v, n, 1, 600000)) return usage_error("--request-timeout must be 1 to 600000 ms");
      options.request_timeout_ms = static_cast<int>(n);
    } else if (arg == "--rolls" || arg == "--spare-rolls") {
      if (!to_number(v, n, 0, 1000)) return usage_error(std::string(arg) + " must be 0 to 1000");
      (arg == "--rolls" ? options.seed.rolls : options.seed.spare_rolls) = static_cast<int>(n);
    } else if (arg == "--roll-size") {
      if (!to_number(v, n, 1, 100000)) return usage_error("--roll-size must be 1 to 100000");
      options.seed.roll_size = static_cast<std::uint32_t>(n);
    } else if (arg == "--invoices") {
      if (!to_number(v, n, 0, 100000)) return usage_error("--invoices must be 0 to 100000");
      options.seed.invoices = static_cast<int>(n);
    } else if (arg == "--from" || arg == "--to") {
      auto day = karvex::sim::parse_ymd(v);
      if (!day) return usage_error(std::string(arg) + " must be a date yyyymmdd");
      (arg == "--from" ? options.seed.from : options.seed.to) = *day;
    } else if (arg == "--seed") {
      if (!to_number(v, n, 0, 0x7FFFFFFFFFFFFFFFLL)) return usage_error("--seed must be a non-negative number");
      seed = static_cast<std::uint64_t>(n);
    } else if (arg == "--clock") {
      auto day = v.size() == 14 ? karvex::sim::parse_ymd(v.substr(0, 8)) : std::nullopt;
      long long hms = 0;
      if (!day || !to_number(v.substr(8), hms, 0, 235959) || hms / 100 % 100 > 59 || hms % 100 > 59) {
        return usage_error("--clock must be yyyymmddhhmmss");
      }
      options.clock =
          DateTime{static_cast<int>(*day / 10000), static_cast<int>(*day / 100 % 100), static_cast<int>(*day % 100),
                   static_cast<int>(hms / 10000),  static_cast<int>(hms / 100 % 100),  static_cast<int>(hms % 100)};
    } else if (arg == "--state") {
      options.state_file = v;
    } else if (arg == "--fault") {
      std::string why;
      auto fault = karvex::sim::parse_fault(v, why);
      if (!fault) return usage_error(why);
      options.faults.push_back(*fault);
    } else if (arg == "--random-faults") {
      char* end = nullptr;
      const std::string text(v);
      rate = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(rate >= 0.0 && rate <= 1.0)) {
        return usage_error("--random-faults must be a share from 0 to 1");
      }
    } else if (arg == "--random-late") {
      if (!to_number(v, n, 0, 600000)) return usage_error("--random-late must be 0 to 600000 ms");
      options.random_late_ms = static_cast<int>(n);
    } else if (arg == "--replay") {
      std::string why;
      auto trace = karvex::sim::read_trace(std::string(v), why);
      if (!trace) return usage_error(why);
      options.replay = std::move(*trace);
    } else if (arg == "--log") {
      options.log_file = v;
    } else {
      return usage_error("unknown option " + std::string(arg));
    }
  }
  options.seed.seed = seed;
  options.fault_seed = seed;
  options.random_fault_rate = rate;

  // Signals are taken by sigwait below; block them before the serving thread starts so it inherits the mask.
  // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches sigwait, so both
  // get a handler of their own first.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  karvex::sim::Simulator simulator(options);
  std::string error;
  if (!simulator.start(&error)) {
    std::fprintf(stderr, "karvex-sim: %s\n", error.c_str());
    return 1;
  }
  if (!device_file.empty()) {
    std::ofstream out(device_file, std::ios::trunc);
    out << simulator.device_path() << '\n';
    if (!out) {
      std::fprintf(stderr, "karvex-sim: cannot write %s\n", device_file.c_str());
      simulator.stop();
      return 1;
    }
  }
  std::printf("karvex-sim: processor ready on %s\n", simulator.device_path().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  const bool replaying = options.replay.has_value();
  const std::size_t asked = simulator.replay_requests(), differed = simulator.replay_mismatches(),
                    left = simulator.replay_remaining();
  simulator.stop();
  std::fprintf(stderr, "karvex-sim: stopped (%s)\n", received == SIGINT ? "SIGINT" : "SIGTERM");
  if (replaying) {
    std::fprintf(stderr, "karvex-sim: replay: %zu requests, %zu differed from the trace, %zu recorded not asked for\n",
                 asked, differed, left);
    return differed > 0 ? 1 : 0;
  }
  return 0;
}
