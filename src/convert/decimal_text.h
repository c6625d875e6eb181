#pragma once
// Decimal texts a host types for goods (quantities, prices, amounts) read into hundredths, exactly: integers
// from the digits, never a binary fraction on the way.
//
//     std::int64_t fen = 0;
//     if (ParseHundredths("12.34", fen) == 0) ...   // fen == 1234
#include <cstdint>
#include <string_view>

#include "convert/result_values.h"

namespace karvex {

// A decimal text as hundredths, exactly: digits with at most one point and at most two digits after it
// ("2.5" -> 250, ".05" -> 5, "12" -> 1200). 144 for an empty text, 107 for any other character, a second
// point, a point alone or a third decimal (which could only be rounded away), 110 for more than 15 digits.
ResultCode ParseHundredths(std::string_view text, std::int64_t& out);

// A goods quantity, price or amount typed as decimal text: ParseHundredths, except that a value below one
// hundredth, however many decimals it has ("0", "0.004"), gets `belowOne` (164, 165 or 166), the code the
// sale's check gives the field, so that the host hears what is wrong with the value rather than its form.
ResultCode ParseGoodsNumber(std::string_view text, ResultCode belowOne, std::int64_t& out);

}  // namespace karvex
