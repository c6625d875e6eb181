#pragma once
// Who started the command in flight (its caller), which decides how its answer and completion go on.
#include <cstdint>

namespace karvex {
inline constexpr std::uint16_t kCallerConsole = 1;           // the operator console: message boxes shown
inline constexpr std::uint16_t kCallerHost = 2;              // a host call: silent
inline constexpr std::uint16_t kCallerInstall = 5;           // roll installation started by the host
inline constexpr std::uint16_t kCallerPrintDataChain = 6;    // print data -> user information -> machine data
inline constexpr std::uint16_t kCallerRollSummaryChain = 8;  // roll summary -> user information -> machine data
}  // namespace karvex
