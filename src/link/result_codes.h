#pragma once
// Result codes of the library and the one table that turns any of them into the operator's message.
//
// The codes themselves are named in convert/result_values.h. Messages are UTF-8 and are shown exactly as
// written in the table; showing them to a person is up to the control and the console.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "convert/result_values.h"

namespace karvex {

// The message for codes missing from the table; the leading blank is part of it.
inline constexpr std::string_view kUnknownResultMessage = " 未知错误";
// Title of a result box when the caller gives none.
inline constexpr std::string_view kDefaultResultTitle = "税控器错误";

// The message table entry of `code`, or nothing when the table has none (the two negative codes included:
// their messages are not table entries, see `ResultMessage`).
std::optional<std::string_view> FindResultMessage(ResultCode code);

// The message of any code: the two database codes first, then the table, else " 未知错误".
std::string ResultMessage(ResultCode code);

// The code in upper-case hexadecimal without leading zeros; negative codes as their 32-bit pattern.
// ResultHex(4128) == "1020", ResultHex(-2147467259) == "80004005".
std::string ResultHex(ResultCode code);

// "0x" + hex + "：" + message, e.g. "0x23：发票已用完".
std::string ResultCodeText(ResultCode code);

// "Err：0x" + hex + " " + message, e.g. "Err：0x23 发票已用完".
std::string ResultBoxText(ResultCode code);

// The given title, or "税控器错误" when it is empty.
std::string ResultBoxTitle(std::string_view title);

}  // namespace karvex
