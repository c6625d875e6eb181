#pragma once
// The console's door to the data browser ("数据查询(&S)"); the browser (src/browser) defines it, so the console
// does not need the browser's own header.
class QWidget;

namespace karvex {

class StoreService;

// Opens the data browser over the store as a modal window of `parent` (empty grids while it is closed).
void ShowDataBrowser(StoreService& store, QWidget* parent);

}  // namespace karvex
