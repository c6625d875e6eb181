#include "console/browser_entry.h"

#include <QtGlobal>

namespace karvex {

// Weak: the data browser's own definition replaces this one when it is linked into the library.
__attribute__((weak)) void ShowDataBrowser(ControlModule&, QWidget*) {
    qWarning("karvex: the data browser is not part of this build");
}

}  // namespace karvex
