#pragma once
// The console's door to the data browser ("数据查询(&S)"); the browser (src/browser) defines it, so the console
// does not need the browser's own header.
class QWidget;

namespace karvex {

class ControlModule;

// Opens the data browser over the module's store as a modal window of `parent`.
void ShowDataBrowser(ControlModule& m, QWidget* parent);

}  // namespace karvex
