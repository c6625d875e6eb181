#pragma once
// Request frames to the processor, the CRC that closes every frame, and the check of an answer frame.
//
// Request frame:  1B 10 | command | 00 L | payload (L - 5 bytes) | CRC high, CRC low
// Answer frame:   status "OK"/"ER"/"NP"/"WT" | packets to follow | L | payload (L - 4 bytes) | CRC high, low
// L counts the bytes before the CRC; the CRC (CRC-16/UMTS: polynomial 0x8005, initial 0, no reflection, no
// final XOR) covers those L bytes. All multi-byte numbers on the wire are big-endian.
//
// Every builder comes twice: `Build...` returns the finished frame (or a result code, then no frame) and
// touches nothing; `Send...` builds the same frame and hands it to a `FrameSink`, the writer of the serial
// link. A `Send...` returns 0 when the sink wrote the frame, the sink's own code (132: no open port), or the
// build's code, in which case nothing reached the sink.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "convert/bytes.h"
#include "result_codes.h"

namespace karvex {

// Writes one finished request frame; returns 0 when written or 132 when no port is open.
using FrameSink = std::function<int(const Bytes& frame)>;

inline constexpr std::uint8_t kRequestLead0 = 0x1B;
inline constexpr std::uint8_t kRequestLead1 = 0x10;
inline constexpr std::size_t kRequestHeaderSize = 5;  // 1B 10, command, two length bytes
inline constexpr std::size_t kAnswerHeaderSize = 4;   // two status letters, packets to follow, length
inline constexpr std::size_t kCrcSize = 2;
inline constexpr std::size_t kMaxRequestFrameSize = 255;  // L = 253
inline constexpr std::size_t kMaxByteListSize = 248;      // payload limit of the byte-list requests

// An issue's frame, or a return's, which carries the returned invoice's number before the rest.
enum class InvoiceLayout { Issue, Return };

// Character classes accepted by the byte-list builder.
inline constexpr int kByteListDecimal = 3;      // decimal values, digits and blanks
inline constexpr int kByteListHexadecimal = 5;  // hexadecimal values, hex digits and blanks

// ---------------------------------------------------------------------------------------------------------
// CRC

// CRC-16/UMTS of `data`. FrameCrc of the ASCII digits "123456789" is 0xFEE8.
std::uint16_t FrameCrc(std::span<const std::uint8_t> data);
inline std::uint8_t CrcHigh(std::uint16_t crc) { return static_cast<std::uint8_t>(crc >> 8); }
inline std::uint8_t CrcLow(std::uint16_t crc) { return static_cast<std::uint8_t>(crc & 0xFF); }

// Appends the CRC of everything in `frame` so far, high byte first.
void AppendFrameCrc(Bytes& frame);

// ---------------------------------------------------------------------------------------------------------
// Request records

inline constexpr int kMaxInvoiceItems = 6;

// The invoice the host asks to issue or return, as the frame carries it. Only the first `SalesNum` items are
// sent; `InvMode` and `ItemPriceFen` are kept for the caller and never go on the wire. Money is in fen, as
// integers all the way from the host's digits, so no binary fraction can move an amount by a fen.
struct InvoiceRequest {
    std::string OInvNum;        // number of the invoice being returned (a return only), decimal text
    std::int32_t FhNumber = 0;  // 分户 number, sent as 16 bits
    std::string PayUnit;        // payer, at most 40 GBK bytes; padded with blanks, empty = 40 blanks
    std::uint8_t SalesNum = 0;  // goods items, 1 to 6
    std::int32_t InvMode = 0;
    std::array<std::string, kMaxInvoiceItems> ItemName{};       // at most 20 GBK bytes each, blank-padded
    std::array<std::int32_t, kMaxInvoiceItems> ItemQuantity{};  // quantity x 100, sent as 16 bits
    std::array<std::uint8_t, kMaxInvoiceItems> ItemTaxIndex{};  // tax item index 1 to 9
    std::array<std::int64_t, kMaxInvoiceItems> ItemSumFen{};    // amount in fen, sent as 32 bits
    std::array<std::int64_t, kMaxInvoiceItems> ItemPriceFen{};  // unit price in fen
};

// Factory data of `SetMD`: texts already fitted to their widths by the console.
struct FactoryData {
    std::string MachineNumber;    // 16 digits -> 8 BCD bytes
    std::string ProductionDate;   // yyyymmdd -> 4 BCD bytes
    std::string HardwareVersion;  // at most 18 GBK bytes, blank-padded
    std::string SoftwareVersion;  // at most 18 GBK bytes, blank-padded
};

// ---------------------------------------------------------------------------------------------------------
// Pure builders

// A finished request frame, or the reason there is none (code != 0, frame empty).
struct BuiltFrame {
    ResultCode code = result::kSuccess;
    Bytes frame;
    bool ok() const { return code == result::kSuccess; }
};

// Frame around a ready payload (at most 248 bytes; a longer payload gives 103 and no frame).
// BuildRequestFrame(command, {}) for command byte 33 -> 1B 10 33 00 05 47 2C.
BuiltFrame BuildRequestFrame(std::uint8_t command, std::span<const std::uint8_t> payload);

// L = 5, no payload. Never fails.
BuiltFrame BuildBareCommand(std::uint8_t command);

// L = 6, one payload byte. Never fails.
BuiltFrame BuildByteCommand(std::uint8_t command, std::uint8_t value);

// L = 8: characters 1-2, 4-5 and 7-8 of "hh:mm:ss" (any separator character, "：" included) as 3 BCD bytes.
// 105 for a non-digit, 144 when there are no digits, 257 when the text is too short for six digits.
BuiltFrame BuildTimeCommand(std::uint8_t command, std::string_view time_text);

// L = 13: two 8-digit texts (dates yyyymmdd) as 4 BCD bytes each; first text "Null" leaves it out, L = 9.
// The conversion's code (144, 105) or 257 for a text that is not exactly 8 digits.
BuiltFrame BuildBcdPairCommand(std::uint8_t command, std::string_view first, std::string_view second);

// L = 13: two decimal numbers as 4 bytes each; first text "Null" leaves it out, L = 9.
// 148 for any text that is not a whole number from 0 to 4294967295 ("9.5" included).
BuiltFrame BuildNumberPairCommand(std::uint8_t command, std::string_view first, std::string_view second);

// L = 19: the 20-digit invoice code as 10 BCD bytes, then the roll's first invoice number as 4 bytes.
// The code's conversion code (144, 105) or 103 when it is not 20 digits; 148 for a bad number.
BuiltFrame BuildInstallCommand(std::uint8_t command, std::string_view invoice_code, std::string_view first_number);

// L = 53: machine number (16 digits, 8 BCD bytes), production date (8 digits, 4 BCD bytes), hardware and
// software version (18 GBK bytes each, blank-padded). 144/105 from the digits, 103 for a machine number
// other than 16 digits or a version longer than 18 bytes, 257 for a date other than 8 digits.
BuiltFrame BuildFactoryDataCommand(std::uint8_t command, const FactoryData& data);

// Issue (L = 48 + 27n) or return (L = 52 + 27n, the returned invoice's number in front), sent as `command`. 168 for an
// item count outside 1-6; the number's conversion code (144, 107, 110) for `OInvNum`, 105 for one with a decimal point;
// 102 for a 分户 number or quantity outside 0-65535; 103 for a payer over 40 or a name over 20 bytes;
// 104 for an empty item name; 110 for an amount above 4294967295 fen, 107 for a negative one.
BuiltFrame BuildInvoiceCommand(std::uint8_t command, InvoiceLayout layout, const InvoiceRequest& request);

// Blank-separated byte values typed by the operator: decimal in class 3, hexadecimal in class 5.
// Trimmed, checked with CheckCharClass (144, 108, 109); a value of 256 or more, or a value followed by
// another that is longer than 3 digits (2 in class 5), gives 146. At most 248 bytes are kept; a shorter
// list is padded with 0x00 up to `min_length` when that is at most 248.
// BuildByteListCommand(command, "1 a2 ff", 5, 6) -> payload 01 A2 FF 00 00 00, L = 11.
BuiltFrame BuildByteListCommand(std::uint8_t command, std::string_view text, int char_class, int min_length);

// ---------------------------------------------------------------------------------------------------------
// Builders that send

// Hands a built frame to the sink: the build's code when it failed (nothing sent), 132 when there is no
// sink, else the sink's code.
ResultCode SendBuiltFrame(const FrameSink& sink, const BuiltFrame& built);

ResultCode SendBareCommand(const FrameSink& sink, std::uint8_t command);
ResultCode SendByteCommand(const FrameSink& sink, std::uint8_t command, std::uint8_t value);
ResultCode SendTimeCommand(const FrameSink& sink, std::uint8_t command, std::string_view time_text);
ResultCode SendBcdPairCommand(const FrameSink& sink, std::uint8_t command, std::string_view first,
                              std::string_view second);
ResultCode SendNumberPairCommand(const FrameSink& sink, std::uint8_t command, std::string_view first,
                                 std::string_view second);
ResultCode SendInstallCommand(const FrameSink& sink, std::uint8_t command, std::string_view invoice_code,
                              std::string_view first_number);
ResultCode SendFactoryDataCommand(const FrameSink& sink, std::uint8_t command, const FactoryData& data);
ResultCode SendInvoiceCommand(const FrameSink& sink, std::uint8_t command, InvoiceLayout layout,
                              const InvoiceRequest& request);
ResultCode SendByteListCommand(const FrameSink& sink, std::uint8_t command, std::string_view text, int char_class,
                               int min_length);

// ---------------------------------------------------------------------------------------------------------
// Answer check

enum class AnswerStatus : std::uint8_t {
    kOk,           // "OK": data for the command's decoder
    kError,        // "ER": payload byte 0 is the processor's error code
    kNextCommand,  // "NP"
    kKeepWaiting,  // "WT"
    kInvalid,      // the frame was rejected before its status was looked at, or the letters are unknown
};

struct AnswerCheck {
    // 0 for "OK" (the payload goes to the decoder, whose code is the command's result), the processor's
    // error code for "ER", 20048 for "NP", 22356 for "WT", 130 for a CRC mismatch, 129 for a frame whose
    // size does not agree with its length byte.
    ResultCode code = result::kWrongAnswerLength;
    AnswerStatus status = AnswerStatus::kInvalid;
    std::uint8_t packets_to_follow = 0;
    // "WT": the caller restarts its answer time-out.
    bool reset_timeout = false;
    // "ER": the code byte as it came (also when it is outside 1..64 and `code` is 135).
    std::uint8_t refusal_code = 0;
    // "OK" only: bytes 4 .. L-1 of the checked frame. Points into that frame; valid while it lives.
    std::span<const std::uint8_t> payload;
};

// Checks one complete answer frame: the size against the length byte (129), then the CRC (130, whatever
// the letters), then the status letters. Never reads outside `frame`.
// An "ER" without a payload byte gives 129; an "ER" whose code byte is outside 1..64 (0 included, so that
// a refusal never reads as success) gives 135, the byte in `refusal_code`; unknown letters give 33
// ("包头错误").
AnswerCheck CheckAnswerFrame(std::span<const std::uint8_t> frame);
// The payload would point into a temporary.
AnswerCheck CheckAnswerFrame(Bytes&& frame) = delete;
AnswerCheck CheckAnswerFrame(const Bytes&& frame) = delete;

// Helper for tests, the virtual processor and the benchmarks: "OK"/"ER"/... + packets + L + payload + CRC.
// The payload is cut to 251 bytes so that L fits its byte.
Bytes BuildAnswerFrame(std::string_view status, std::uint8_t packets_to_follow, std::span<const std::uint8_t> payload);

}  // namespace karvex
