// The check of one complete answer frame, on arbitrary bytes and on frames built from arbitrary parts.
//
// Properties: the payload handed on lies inside the frame and is exactly the L - 4 bytes after the header;
// an "OK" is only ever given to a frame whose size, length byte and CRC agree; and a frame built by
// BuildAnswerFrame from any status, P and payload checks back to the same parts.
#include <cstdint>

#include "fuzz_support.h"
#include "link/frame_codec.h"

using namespace karvex;

namespace {

void CheckConsistent(std::span<const std::uint8_t> frame) {
    const AnswerCheck check = CheckAnswerFrame(frame);
    if (!check.payload.empty()) {
        FUZZ_CHECK(check.payload.data() >= frame.data() &&
                   check.payload.data() + check.payload.size() <= frame.data() + frame.size());
    }
    if (check.status == AnswerStatus::kInvalid && check.code == result::kWrongAnswerLength) return;
    // Past the size check: the frame is exactly L + 2 bytes and its CRC fits.
    FUZZ_CHECK(frame.size() >= 6 && frame.size() == static_cast<std::size_t>(frame[3]) + 2);
    if (check.code == result::kCrcError) return;
    const auto crc = FrameCrc(frame.first(frame[3]));
    FUZZ_CHECK(frame[frame[3]] == CrcHigh(crc) && frame[frame[3] + 1] == CrcLow(crc));
    FUZZ_CHECK(check.packets_to_follow == frame[2]);
    if (check.status == AnswerStatus::kOk) {
        FUZZ_CHECK(check.code == 0 && frame[0] == 'O' && frame[1] == 'K');
        FUZZ_CHECK(check.payload.data() == frame.data() + 4 && check.payload.size() == frame[3] - 4u);
    } else {
        // Nothing but "OK" may ever read as success.
        FUZZ_CHECK(check.code != 0, "status %d with code 0", static_cast<int>(check.status));
        FUZZ_CHECK(check.payload.empty());
    }
    FUZZ_CHECK(check.reset_timeout == (check.status == AnswerStatus::kKeepWaiting));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The raw bytes as a frame.
    CheckConsistent({data, size});

    // The same bytes as the parts of a well-formed frame.
    fuzz::Input in(data, size);
    const std::string status{static_cast<char>(in.Byte()), static_cast<char>(in.Byte())};
    const std::uint8_t follow = in.Byte();
    const auto payload = in.Take(251);
    const Bytes frame = BuildAnswerFrame(status, follow, payload);
    FUZZ_CHECK(frame.size() == payload.size() + 6 && frame[3] == payload.size() + 4);
    CheckConsistent(frame);
    const AnswerCheck check = CheckAnswerFrame(std::span<const std::uint8_t>(frame));
    // An "ER" carries the processor's code (or says it is unknown); anything else is never refused for its
    // size or CRC.
    if (status != "ER") FUZZ_CHECK(check.code != result::kCrcError && check.code != result::kWrongAnswerLength);
    FUZZ_CHECK(check.packets_to_follow == follow);
    if (status == "OK") {
        FUZZ_CHECK(check.status == AnswerStatus::kOk);
        FUZZ_CHECK(std::equal(check.payload.begin(), check.payload.end(), payload.begin(), payload.end()));
    } else if (status == "ER") {
        FUZZ_CHECK(check.status == AnswerStatus::kError);
        // Only 1..64 are the processor's codes; any other byte must not pass for one of the library's own.
        const bool known =
            !payload.empty() && payload[0] >= result::kProcessorFirst && payload[0] <= result::kProcessorLast;
        FUZZ_CHECK(check.code == (payload.empty() ? result::kWrongAnswerLength
                                  : known         ? static_cast<ResultCode>(payload[0])
                                                  : result::kUnknownProcessorCode));
        if (!payload.empty()) FUZZ_CHECK(check.refusal_code == payload[0]);
    }
    return 0;
}
