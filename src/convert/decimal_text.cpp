#include "convert/decimal_text.h"

#include <algorithm>

namespace karvex {
namespace {

// More digits than any goods field holds; the value then stays far inside 64 bits.
constexpr std::size_t kMaxDecimalDigits = 15;

}  // namespace

ResultCode ParseHundredths(std::string_view text, std::int64_t& out) {
    if (text.empty()) return result::kEmptyInput;
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto digits = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(whole) || !digits(fraction) || (whole.empty() && fraction.empty()) || fraction.size() > 2) {
        return result::kNotDecimalNumber;
    }
    if (whole.size() + fraction.size() > kMaxDecimalDigits) return result::kNumberAbove32Bits;
    std::int64_t value = 0;
    for (char c : whole) value = value * 10 + (c - '0');
    for (std::size_t i = 0; i < 2; ++i) value = value * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    out = value;
    return result::kSuccess;
}

ResultCode ParseGoodsNumber(std::string_view text, ResultCode belowOne, std::int64_t& out) {
    const ResultCode code = ParseHundredths(text, out);
    if (code == result::kSuccess) return out < 1 ? belowOne : code;
    // A third decimal: still below a hundredth when everything before it is zero ("0.004").
    const std::size_t point = text.find('.');
    if (code != result::kNotDecimalNumber || point == std::string_view::npos) return code;
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = text.substr(point + 1);
    const auto digits = [](std::string_view part) { return part.find_first_not_of("0123456789") == part.npos; };
    const auto zeros = [](std::string_view part) { return part.find_first_not_of('0') == part.npos; };
    if (fraction.size() > 2 && digits(whole) && digits(fraction) && zeros(whole) && zeros(fraction.substr(0, 2))) {
        return belowOne;
    }
    return code;
}

}  // namespace karvex
