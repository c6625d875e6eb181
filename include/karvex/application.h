#pragma once
// For hosts without a Qt application of their own (command-line tools, the C interface): makes sure one
// exists, offscreen when there is no display. Returns true when this call created it.
#include "karvex/export.h"

namespace karvex {
KARVEX_API bool EnsureApplication();
}
