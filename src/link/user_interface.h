#pragma once
// The dialogue interface is public (hosts implement it); the library's own code includes it from here too.
#include "karvex/user_interface.h"
