// Playing the processor from a trace of the library's traffic (KARVEX_TRACE, the tool's --trace): each
// request gets what the recorded processor sent after the same request, with the recorded pauses or at once.
// A request other than the recorded one is reported and answered as recorded all the same, so that the rest
// of the session still plays.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire.h"

namespace karvex::sim {

struct TraceEntry {
  double ms = 0;              // time since the session began
  bool to_processor = false;  // ">" a request written by the host; "<" bytes the processor sent
  Bytes bytes;
};

// Reads a trace file (several sessions are read as one). nullopt with the line at fault in `error`.
std::optional<std::vector<TraceEntry>> read_trace(const std::string& path, std::string& error);
std::optional<std::vector<TraceEntry>> parse_trace(std::string_view text, std::string& error);

class Replay {
 public:
  struct Fragment {
    int delay_ms = 0;  // pause before it: from the request (first fragment) or from the fragment before
    Bytes bytes;
  };
  struct Step {
    bool matched = true;   // the request was the recorded one
    bool recorded = true;  // there was a recorded request left to answer
    Bytes expected;        // the recorded request
    std::vector<Fragment> answer;
  };

  explicit Replay(std::vector<TraceEntry> entries);

  // The recorded answer to the next recorded request, judged against `request`.
  Step next(const Bytes& request);

  std::size_t requests() const { return requests_; }
  std::size_t mismatches() const { return mismatches_; }
  // Recorded requests not asked for yet.
  std::size_t remaining() const;

 private:
  std::vector<TraceEntry> entries_;
  std::size_t at_ = 0;
  std::size_t requests_ = 0;
  std::size_t mismatches_ = 0;
};

}  // namespace karvex::sim
