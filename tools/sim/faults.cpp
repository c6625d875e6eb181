#include "faults.h"

#include <charconv>

#include "processor.h"

namespace karvex::sim {

namespace {
struct KindName {
  FaultKind kind;
  const char* name;
};
constexpr KindName kKinds[] = {
    {FaultKind::Error, "er"},      {FaultKind::NotReady, "np"},     {FaultKind::Wait, "wt"},
    {FaultKind::Drop, "drop"},     {FaultKind::Lost, "lost"},       {FaultKind::Silent, "silent"},
    {FaultKind::Cut, "cut"},       {FaultKind::Noise, "noise"},     {FaultKind::BadCrc, "crc"},
    {FaultKind::BadLength, "len"}, {FaultKind::PacketDelay, "gap"}, {FaultKind::Slow, "slow"},
    {FaultKind::Late, "late"},     {FaultKind::Owed, "owe"},
};

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return parts;
}

bool to_int(std::string_view text, int& value) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size() && value >= 0;
}
}  // namespace

const char* fault_kind_name(FaultKind kind) {
  for (const auto& k : kKinds) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

std::optional<Fault> parse_fault(std::string_view text, std::string& error) {
  auto parts = split(text, ':');
  Fault f;
  if (!parts.empty() && (parts.back() == "always" || parts.back() == "once")) {
    f.persistent = parts.back() == "always";
    parts.pop_back();
  }
  if (parts.size() < 2 || parts.size() > 4) {
    error = "fault \"" + std::string(text) + "\" is not CMD:KIND[:ARG[:DELAY]][:always]";
    return std::nullopt;
  }
  if (parts[0] != "*") {
    auto code = parse_command(parts[0]);
    if (!code) {
      error = "unknown command \"" + std::string(parts[0]) + "\" in fault";
      return std::nullopt;
    }
    f.command = *code;
  }
  bool found = false;
  for (const auto& k : kKinds) {
    if (parts[1] == k.name) {
      f.kind = k.kind;
      found = true;
    }
  }
  if (!found) {
    error = "unknown fault kind \"" + std::string(parts[1]) +
            "\" (er, np, wt, drop, lost, cut, noise, crc, len, gap, slow, late)";
    return std::nullopt;
  }
  if (parts.size() >= 3 && !to_int(parts[2], f.arg)) {
    error = "fault argument \"" + std::string(parts[2]) + "\" is not a number";
    return std::nullopt;
  }
  if (parts.size() == 4 && !to_int(parts[3], f.delay_ms)) {
    error = "fault delay \"" + std::string(parts[3]) + "\" is not a number of milliseconds";
    return std::nullopt;
  }
  if (f.kind == FaultKind::Error && (f.arg < 1 || f.arg > 255)) {
    if (f.arg == -1) {
      error = "fault kind er needs a processor code, e.g. 0x34:er:35";
    } else {
      error = "processor code must be 1 to 255";
    }
    return std::nullopt;
  }
  return f;
}

std::string describe_fault(const Fault& f) {
  std::string text = f.command < 0 ? "*"
                                   : std::string(find_command(static_cast<std::uint8_t>(f.command))
                                                     ? find_command(static_cast<std::uint8_t>(f.command))->name
                                                     : "?");
  text += ":";
  text += fault_kind_name(f.kind);
  if (f.arg >= 0) text += ":" + std::to_string(f.arg);
  if (f.kind == FaultKind::Wait) text += " (" + std::to_string(f.delay_ms) + " ms)";
  if (f.persistent) text += " always";
  return text;
}

void FaultPlan::add(const Fault& fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
}

void FaultPlan::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
  rate_ = 0.0;
}

void FaultPlan::set_random(double rate, std::uint64_t seed, int late_max_ms) {
  std::lock_guard lock(mutex_);
  rate_ = rate;
  late_max_ms_ = late_max_ms;
  rng_.seed(seed);
}

std::size_t FaultPlan::pending() const {
  std::lock_guard lock(mutex_);
  return faults_.size();
}

bool FaultPlan::stops_processor(const std::vector<Fault>& faults) {
  for (const auto& f : faults) {
    if (f.kind == FaultKind::Drop || f.kind == FaultKind::Error || f.kind == FaultKind::NotReady) return true;
  }
  return false;
}

std::vector<Fault> FaultPlan::take(std::uint8_t command) {
  std::lock_guard lock(mutex_);
  std::vector<Fault> out;
  for (auto it = faults_.begin(); it != faults_.end();) {
    if (it->command < 0 || it->command == command) {
      out.push_back(*it);
      if (!it->persistent) {
        it = faults_.erase(it);
        continue;
      }
    }
    ++it;
  }
  if (rate_ > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < rate_) {
    // Any kind may be drawn, including the ones that end in a time-out; an "ER" gets a random processor code.
    // A late answer holds the line for its whole delay, so it is drawn only when asked for.
    static const FaultKind kinds[] = {FaultKind::Wait,        FaultKind::Noise,     FaultKind::BadCrc, FaultKind::Slow,
                                      FaultKind::PacketDelay, FaultKind::NotReady,  FaultKind::Error,  FaultKind::Lost,
                                      FaultKind::Cut,         FaultKind::BadLength, FaultKind::Drop,   FaultKind::Late};
    const std::size_t count = sizeof kinds / sizeof kinds[0] - (late_max_ms_ > 0 ? 0 : 1);
    Fault f;
    f.command = command;
    f.kind = kinds[rng_() % count];
    if (f.kind == FaultKind::Error) f.arg = 1 + static_cast<int>(rng_() % 64);
    if (f.kind == FaultKind::Late) f.arg = 1 + static_cast<int>(rng_() % static_cast<std::uint64_t>(late_max_ms_));
    out.push_back(f);
  }
  return out;
}

}  // namespace karvex::sim
