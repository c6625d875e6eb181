#pragma once
// Showing a result to a person. The link only composes result texts; whether a box is shown, and to whom,
// is decided here and in the console, which know who started the command.
#include <string_view>

#include "link/result_codes.h"
#include "link/user_interface.h"

namespace karvex {

// Shows the box text of `code` ("Err：0x23 发票已用完") under `title`, or under "税控器错误" when the title
// is empty.
inline void ShowResultBox(UserInterface& ui, ResultCode code, std::string_view title) {
    ui.ShowMessage(ResultBoxTitle(title), ResultBoxText(code));
}

}  // namespace karvex
