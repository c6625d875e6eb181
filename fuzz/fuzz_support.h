#pragma once
// Shared pieces of the fuzz targets: a reader that carves typed values out of the input, and a check that
// stops the run with a message when a property does not hold (libFuzzer then keeps the input as a crash).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(cond, ...)                                                                  \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, "  " __VA_ARGS__);                                            \
            std::fprintf(stderr, "\n");                                                        \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace karvex::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }

    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
    std::int32_t I32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
        return static_cast<std::int32_t>(v);
    }

    // Up to `n` bytes.
    std::span<const std::uint8_t> Take(std::size_t n) {
        n = std::min(n, remaining());
        std::span<const std::uint8_t> out(data_ + pos_, n);
        pos_ += n;
        return out;
    }
    // A piece whose length is the next byte.
    std::span<const std::uint8_t> Piece() { return Take(Byte()); }
    std::string Text() {
        auto p = Piece();
        return {reinterpret_cast<const char*>(p.data()), p.size()};
    }
    std::span<const std::uint8_t> Rest() { return Take(remaining()); }
    std::string RestText() {
        auto p = Rest();
        return {reinterpret_cast<const char*>(p.data()), p.size()};
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline std::string Hex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
        out += ' ';
    }
    return out;
}

// True when `text` is well-formed UTF-8 (what every text handed to a host or the store must be).
inline bool IsUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 4;
        if (extra == 4 || text.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace karvex::fuzz
