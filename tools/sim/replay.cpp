#include "replay.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace karvex::sim {

std::optional<std::vector<TraceEntry>> parse_trace(std::string_view text, std::string& error) {
  std::vector<TraceEntry> entries;
  std::size_t line_no = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#' || line.starts_with("karvex-trace ")) continue;
    const auto fail = [&](const char* why) {
      error = "trace line " + std::to_string(line_no) + ": " + why;
      return std::nullopt;
    };
    TraceEntry e;
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return fail("no direction");
    const std::string number(line.substr(0, blank));
    char* stop = nullptr;
    e.ms = std::strtod(number.c_str(), &stop);
    if (number.empty() || *stop != '\0' || e.ms < 0) return fail("no time");
    line.remove_prefix(blank + 1);
    // Bytes the library dropped unseen are a note: they were never part of an answer it took.
    if (!line.empty() && line.front() == '#') continue;
    if (line.empty() || (line.front() != '>' && line.front() != '<')) return fail("direction is neither > nor <");
    e.to_processor = line.front() == '>';
    line.remove_prefix(1);
    auto bytes = parse_hex(line);
    if (!bytes || bytes->empty()) return fail("no bytes in hexadecimal");
    e.bytes = std::move(*bytes);
    entries.push_back(std::move(e));
  }
  return entries;
}

std::optional<std::vector<TraceEntry>> read_trace(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read";
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  return parse_trace(text.str(), error);
}

Replay::Replay(std::vector<TraceEntry> entries) : entries_(std::move(entries)) {
  // Whatever the processor sent before the first request (line noise at start) is not played.
  while (at_ < entries_.size() && !entries_[at_].to_processor) ++at_;
}

Replay::Step Replay::next(const Bytes& request) {
  Step step;
  ++requests_;
  if (at_ >= entries_.size()) {
    step.recorded = false;
    step.matched = false;
    ++mismatches_;
    return step;
  }
  const TraceEntry& asked = entries_[at_++];
  step.expected = asked.bytes;
  step.matched = asked.bytes == request;
  if (!step.matched) ++mismatches_;
  double last = asked.ms;
  while (at_ < entries_.size() && !entries_[at_].to_processor) {
    const TraceEntry& e = entries_[at_++];
    // A new session restarts the clock: its first fragment follows at once.
    const double gap = e.ms >= last ? e.ms - last : 0;
    step.answer.push_back({static_cast<int>(gap + 0.5), e.bytes});
    last = e.ms;
  }
  return step;
}

std::size_t Replay::remaining() const {
  std::size_t n = 0;
  for (std::size_t i = at_; i < entries_.size(); ++i) n += entries_[i].to_processor ? 1 : 0;
  return n;
}

}  // namespace karvex::sim
