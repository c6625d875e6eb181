#pragma once
// Exceptions that leave the control's interface. Everything else is reported as a result code; only a host
// argument too wide for the wire field it travels in fails the call itself.
#include <stdexcept>

#include "karvex/export.h"

namespace karvex {

// Thrown by a method when a host argument does not fit the byte or 16-bit field it is sent in (for example
// 300 goods items, a 分户 number of 70000 or a goods quantity above 655.35). Nothing was sent, no module
// state changed and the shared result word was not touched.
class KARVEX_API ArgumentOverflow : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};

}  // namespace karvex
