#pragma once
// Builds answer frames for the tests from bytes written out field by field.
#include <initializer_list>
#include <string_view>

#include "convert/bytes.h"
#include "link/frame_codec.h"

namespace karvex::test {

class Payload {
public:
    Payload& Add(std::initializer_list<int> values) {
        for (int v : values) bytes_.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    // Single-byte text, blank-padded to `width`.
    Payload& Text(std::string_view text, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i)
            bytes_.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0x20);
        return *this;
    }
    Payload& Fill(int value, std::size_t count) {
        bytes_.insert(bytes_.end(), count, static_cast<std::uint8_t>(value));
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

// "OK" (or `status`), P, L = 4 + payload, payload, CRC high and low.
inline Bytes Answer(const Payload& payload, int packets_to_follow = 0, std::string_view status = "OK") {
    Bytes frame{static_cast<std::uint8_t>(status[0]), static_cast<std::uint8_t>(status[1]),
                static_cast<std::uint8_t>(packets_to_follow), static_cast<std::uint8_t>(4 + payload.bytes().size())};
    frame.insert(frame.end(), payload.bytes().begin(), payload.bytes().end());
    AppendFrameCrc(frame);
    return frame;
}

// The frame with its CRC recomputed after an alteration of its first L bytes.
inline Bytes Recrc(Bytes frame) {
    frame.resize(frame.size() - 2);
    AppendFrameCrc(frame);
    return frame;
}

}  // namespace karvex::test
