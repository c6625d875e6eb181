#include "commands/answer_match.h"

#include <charconv>
#include <optional>
#include <string_view>
#include <variant>

#include "commands/catalogue.h"
#include "link/frame_codec.h"

namespace karvex {

namespace {

std::uint64_t Number(const std::uint8_t* p) {
    return (std::uint64_t{p[0]} << 24) | (std::uint64_t{p[1]} << 16) | (std::uint64_t{p[2]} << 8) | p[3];
}

// Four BCD bytes yyyymmdd as the number yyyymmdd.
std::uint64_t BcdDate(const std::uint8_t* p) {
    std::uint64_t value = 0;
    for (int i = 0; i < 4; ++i) value = value * 100 + (p[i] >> 4) * 10 + (p[i] & 0x0F);
    return value;
}

std::optional<std::uint64_t> Parse(std::string_view text) {
    std::uint64_t value = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

bool Within(std::string_view text, std::uint64_t low, std::uint64_t high) {
    const auto value = Parse(text);
    // A field that cannot be read names nothing; the decoder's own checks judge such a frame.
    return !value || (*value >= low && *value <= high);
}

}  // namespace

AnswerExpectation ExpectedAnswer(const Bytes& request) {
    AnswerExpectation e;
    if (request.size() < kRequestHeaderSize + kCrcSize) return e;
    e.command = request[2];
    const std::size_t length = (std::size_t{request[3]} << 8) | request[4];
    if (length < kRequestHeaderSize || request.size() != length + kCrcSize) return e;
    const std::uint8_t* payload = request.data() + kRequestHeaderSize;
    const std::size_t size = length - kRequestHeaderSize;
    using Kind = AnswerExpectation::Kind;
    const CommandInfo* row = FindCommand(e.command);
    const AnswerNames names = row != nullptr ? row->answerNames : AnswerNames::Nothing;
    if (names == AnswerNames::NumberRange && size == 8) {
        e = {Kind::kNumberRange, e.command, Number(payload), Number(payload + 4)};
    } else if (names == AnswerNames::DateRange && size == 8) {
        e = {Kind::kDateRange, e.command, BcdDate(payload), BcdDate(payload + 4)};
    } else if (names == AnswerNames::DateUpTo && size == 4) {
        // Invoices up to the cut-off date.
        e = {Kind::kDateRange, e.command, 0, BcdDate(payload)};
    } else if (names == AnswerNames::RollHolding && size == 4) {
        e = {Kind::kRollHolding, e.command, Number(payload), Number(payload)};
    }
    return e;
}

ResultCode MatchAnswer(const AnswerExpectation& expected, FrameView frame) {
    using Kind = AnswerExpectation::Kind;
    if (expected.kind == Kind::kNone) return result::kSuccess;
    if (CheckAnswerFrame(frame).status != AnswerStatus::kOk) return result::kSuccess;
    AnswerRecord record;
    if (DecodeAnswer(expected.command, frame, record) != result::kSuccess) return result::kSuccess;
    bool matches = true;
    if (const auto* print = std::get_if<InvPrintDataRecord>(&record)) {
        if (expected.kind == Kind::kNumberRange) matches = Within(print->invoice_number, expected.low, expected.high);
        if (expected.kind == Kind::kDateRange) matches = Within(print->issue_date, expected.low, expected.high);
    } else if (const auto* roll = std::get_if<InvUseSumRecord>(&record)) {
        const auto first = Parse(roll->first_number);
        const auto last = Parse(roll->last_number);
        if (expected.kind == Kind::kRollHolding && first && last) {
            matches = *first <= expected.low && expected.low <= *last;
        }
    }
    return matches ? result::kSuccess : result::kAnswerMismatch;
}

}  // namespace karvex
