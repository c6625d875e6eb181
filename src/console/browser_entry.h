#pragma once
// The console's door to the data browser ("数据查询(&S)"). The browser provides the definition; until it is
// linked in, a fallback that only logs keeps the menu entry harmless.
class QWidget;

namespace karvex {

class ControlModule;

// Opens the data browser over the module's store as a modal window of `parent`.
void ShowDataBrowser(ControlModule& m, QWidget* parent);

}  // namespace karvex
