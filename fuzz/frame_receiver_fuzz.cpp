// The receive state machine fed the processor's byte stream in arbitrary pieces.
//
// Input: byte 0 = the handler's answers (bit i: keep reading after the i-th frame), byte 1 = piece size
// (1-256), the rest the line. Properties: every frame handed over is as long as its length byte says
// (L + 2), starts with a known status pair and carries its own P and L; and the frames do not depend on how
// the stream was cut into pieces.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "link/frame_receiver.h"

namespace {

using karvex::Bytes;

std::vector<Bytes> Run(std::uint8_t answers, std::span<const std::uint8_t> line, std::size_t piece) {
    std::vector<Bytes> frames;
    std::size_t handled = 0;
    karvex::FrameReceiver receiver([&](const karvex::ReceivedFrame& f) {
        FUZZ_CHECK(f.bytes.size() >= 4, "frame of %zu bytes", f.bytes.size());
        FUZZ_CHECK(f.bytes.size() == static_cast<std::size_t>(f.length) + 2, "size %zu, L %u", f.bytes.size(),
                   f.length);
        FUZZ_CHECK(f.packetsToFollow == f.bytes[2] && f.length == f.bytes[3]);
        const char a = static_cast<char>(f.bytes[0]), b = static_cast<char>(f.bytes[1]);
        FUZZ_CHECK((a == 'O' && b == 'K') || (a == 'E' && b == 'R') || (a == 'N' && b == 'P') ||
                   (a == 'W' && b == 'T'));
        frames.push_back(f.bytes);
        return ((answers >> (handled++ % 8)) & 1) != 0;
    });
    for (std::size_t at = 0; at < line.size(); at += piece) {
        const std::size_t n = std::min(piece, line.size() - at);
        receiver.Feed(line.data() + at, n);
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    karvex::fuzz::Input in(data, size);
    const std::uint8_t answers = in.Byte();
    const std::size_t piece = static_cast<std::size_t>(in.Byte()) + 1;
    const auto line = in.Rest();
    // A frame the handler stops on drops the rest of its piece, like the emptied input buffer: only when the
    // handler always goes on reading are the frames the same however the line is cut.
    const auto whole = Run(0xFF, line, line.size() + 1);
    const auto cut = Run(0xFF, line, piece);
    FUZZ_CHECK(whole == cut, "%zu frames whole, %zu in pieces of %zu", whole.size(), cut.size(), piece);
    Run(answers, line, piece);
    return 0;
}
