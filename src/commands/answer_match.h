#pragma once
// Whether an answer frame answers the request that was sent.
//
// Some answers name what they answer: a print-data frame its invoice number and issue date, a roll summary
// its roll's first and last numbers. A frame left on the line by an earlier request (an answer that came
// after its time-out, a processor still streaming an upload to a host that went away) looks like any other
// answer to the same command; only these names tell it apart. The expectation is read from the request
// frame itself, so that every sender is covered without knowing about it.
#include <cstdint>

#include "commands/decoders.h"
#include "convert/bytes.h"
#include "link/result_codes.h"

namespace karvex {

struct AnswerExpectation {
    enum class Kind : std::uint8_t {
        kNone,         // the answer names nothing that could be checked
        kNumberRange,  // print data by number: 发票号 within [low, high]
        kDateRange,    // print data by dates, invoice upload: 开票日期 (yyyymmdd) within [low, high]
        kRollHolding,  // roll summary: 发票起始号 <= low <= 发票终止号
    };
    Kind kind = Kind::kNone;
    std::uint8_t command = 0;
    std::uint64_t low = 0;
    std::uint64_t high = 0;
};

// What an answer to the request frame `request` (1B 10, command, length, payload, CRC) must name.
AnswerExpectation ExpectedAnswer(const Bytes& request);

// 0 when the frame may be the answer (it names what was asked, or it names nothing that can be checked:
// an "ER", "NP" or "WT" frame, a frame that does not decode, a command without expectation); 137 when it
// names something else.
ResultCode MatchAnswer(const AnswerExpectation& expected, FrameView frame);

}  // namespace karvex
