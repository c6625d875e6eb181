#pragma once
// How a command's answer is checked and which decoder reads it: one part of the command's catalogue row.
#include <cstdint>
#include <string_view>

namespace karvex {

// What the length byte must be.
enum class LengthRule : std::uint8_t {
    kExact,    // L == length
    kAtLeast,  // L >= length
    kAny,      // any L (the frame must still hold L + 2 bytes)
    kNone,     // nothing checked at all (`Online`)
};

// What the packets-to-follow byte may be.
enum class PacketRule : std::uint8_t {
    kLastOnly,       // P must be 0, else 129
    kMayFollow,      // any P: the answer comes as several frames
    kFollowIsQuiet,  // card answers: P above 0 ends the handling with 0 and nothing shown
    kUnchecked,
};

// How the link driver handles the frames of the answer.
enum class FrameHandling : std::uint8_t {
    kSingle,    // one frame, decoded at once
    kQueued,    // frames queued until P = 0, then decoded together
    kPerFrame,  // every frame decoded on arrival (`CheckSelf`: one frame per test item)
};

enum class DecoderKind : std::uint8_t {
    kNone,  // accepted without a look (`Online`, codes not in the table)
    kAck,
    kInvoiceRoll,
    kCurrentInv,
    kMakeInvoice,
    kMachineData,
    kUserInformation,
    kTaxInformation,
    kDateTime,
    kInvUseSum,
    kDeclareData,
    kInvPrintData,
    kProcessorState,
    kDayTrade,
    kDataIdiograph,
    kCardAnswer,
    kCardPowerOn,
    kCheckself,
    kDateTimeSec,
    kTotalSum,
};

struct AnswerLayout {
    std::uint8_t command = 0;
    LengthRule length_rule = LengthRule::kNone;
    std::uint8_t length = 0;  // the L of the rule
    PacketRule packets = PacketRule::kUnchecked;
    FrameHandling handling = FrameHandling::kSingle;
    DecoderKind decoder = DecoderKind::kNone;
    std::string_view progress_label;  // data-kind label of the packet progress lines ("" for none)
};

}  // namespace karvex
