// GBK <-> UTF-8 through glibc iconv (code page 936).
//
// Opening an iconv descriptor costs far more than converting a frame, so each thread keeps one descriptor
// per direction and only resets its shift state before each conversion.
#include <cerrno>
#include <iconv.h>

#include "conversions.h"
#include "gbk_iconv.h"

namespace karvex {
namespace gbk_detail {
namespace {

class Descriptor {
public:
    Descriptor(const char* to, const char* to_fallback, const char* from, const char* from_fallback) {
        cd_ = iconv_open(to, from);
        if (!Valid()) cd_ = iconv_open(to_fallback, from_fallback);
    }
    ~Descriptor() {
        if (Valid()) iconv_close(cd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    // Returns the descriptor in its initial state.
    iconv_t Reset() {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        return cd_;
    }

private:
    iconv_t cd_;
};

Descriptor& GbkToUtf8Descriptor() {
    thread_local Descriptor d("UTF-8", "UTF-8", "CP936", "GBK");
    return d;
}

Descriptor& Utf8ToGbkDescriptor() {
    thread_local Descriptor d("CP936", "GBK", "UTF-8", "UTF-8");
    return d;
}

// Length of the UTF-8 sequence starting at p (1 for a byte that starts none), for the converter's skips.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left) {
    return Utf8CharacterLength(std::string_view(reinterpret_cast<const char*>(p), left));
}

// Runs `cd` over the input, writing into `out` starting at `used`; `on_error` decides how many input bytes
// to skip for a bad sequence (a "?" is written for it). Returns the worst code met.
template <typename Buffer, typename SkipFn>
int Run(iconv_t cd, const char* in, std::size_t n, Buffer& out, std::size_t capacity_hint, SkipFn skip_bad,
        bool& ended_in_half) {
    std::size_t used = out.size();
    out.resize(used + capacity_hint + 8);
    char* inp = const_cast<char*>(in);
    std::size_t inleft = n;
    int code = result::kSuccess;
    ended_in_half = false;
    while (inleft > 0) {
        char* outp = reinterpret_cast<char*>(out.data()) + used;
        std::size_t outleft = out.size() - used;
        std::size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
        used = out.size() - outleft;
        if (r != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        if (outleft < 1) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        // A bad or incomplete sequence: one "?" for it, then go on behind it.
        if (errno == EINVAL) {
            ended_in_half = true;
            out[used++] = '?';
            break;
        }
        std::size_t skip = skip_bad(reinterpret_cast<const unsigned char*>(inp), inleft);
        out[used++] = '?';
        inp += skip;
        inleft -= skip;
        code = result::kInvalidCharacter;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(used);
    return code;
}

template <typename Buffer>
int EncodeInto(std::string_view utf8, Buffer& out) {
    if (utf8.empty()) return result::kSuccess;
    Descriptor& d = Utf8ToGbkDescriptor();
    if (!d.Valid()) {
        // No code page 936 on this system: keep ASCII, mark the rest.
        int code = result::kSuccess;
        for (std::string_view character : Utf8Characters(utf8)) {
            const auto c = static_cast<unsigned char>(character[0]);
            if (c < 0x80) {
                out.push_back(static_cast<typename Buffer::value_type>(c));
            } else {
                out.push_back('?');
                code = result::kInvalidCharacter;
            }
        }
        return code;
    }
    bool half = false;
    int code = Run(d.Reset(), utf8.data(), utf8.size(), out, utf8.size(), Utf8SequenceLength, half);
    return half ? result::kInvalidCharacter : code;
}

}  // namespace

int DecodeAppend(const std::uint8_t* p, std::size_t n, bool pairs_checked, std::string& out) {
    if (n == 0) return result::kSuccess;
    Descriptor& d = GbkToUtf8Descriptor();
    if (!d.Valid()) {
        int code = result::kSuccess;
        for (std::size_t i = 0; i < n; ++i) {
            if (p[i] < 0x80) {
                out.push_back(static_cast<char>(p[i]));
            } else {
                out.push_back('?');
                code = result::kInvalidCharacter;
                if (i + 1 < n) ++i;
            }
        }
        return code;
    }
    auto skip = [pairs_checked](const unsigned char* s, std::size_t left) -> std::size_t {
        if (left < 2) return 1;
        // The caller has paired every byte from 0x80 up, 0xFF included: the undefined pair is one character,
        // or its trail byte would be taken for the lead of the next one.
        if (pairs_checked) return s[0] >= 0x80 ? 2 : 1;
        if (s[0] < 0x81 || s[0] == 0xFF) return 1;
        unsigned char t = s[1];
        // A trail byte in the GBK trail range belongs to this (undefined) character; anything else may
        // start the next character and is decoded on its own.
        return (t >= 0x40 && t <= 0xFE && t != 0x7F) ? 2 : 1;
    };
    bool half = false;
    // One GBK byte gives at most three UTF-8 bytes (0x80 is the euro sign).
    int code = Run(d.Reset(), reinterpret_cast<const char*>(p), n, out, n + n / 2 + 4, skip, half);
    return half ? result::kEndsInHalfCharacter : code;
}

int EncodeAppend(std::string_view utf8, Bytes& out) { return EncodeInto(utf8, out); }
int EncodeAppend(std::string_view utf8, std::string& out) { return EncodeInto(utf8, out); }

}  // namespace gbk_detail

int Utf8ToGbk(std::string_view utf8, Bytes& out) {
    Bytes result;
    int code = gbk_detail::EncodeAppend(utf8, result);
    out = std::move(result);
    return code;
}

int Utf8ToGbk(std::string_view utf8, std::string& out) {
    std::string result;
    int code = gbk_detail::EncodeAppend(utf8, result);
    out = std::move(result);
    return code;
}

int GbkToUtf8(ByteView gbk, std::string& out) {
    std::string result;
    int code = gbk_detail::DecodeAppend(gbk.data(), gbk.size(), false, result);
    out = std::move(result);
    return code;
}

int GbkToUtf8(std::string_view gbk, std::string& out) {
    return GbkToUtf8(ByteView(reinterpret_cast<const std::uint8_t*>(gbk.data()), gbk.size()), out);
}

std::size_t GbkByteLength(std::string_view utf8) {
    // Fast path: ASCII is one byte in both encodings.
    bool ascii = true;
    for (unsigned char c : utf8) {
        if (c >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) return utf8.size();
    std::string gbk;
    gbk_detail::EncodeAppend(utf8, gbk);
    return gbk.size();
}

}  // namespace karvex
