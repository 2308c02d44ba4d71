// res/resource.h and res/StringTable.h beside windows.h, which makes IDOK and LoadString macros:
// the identifiers are read with IDOK put aside, and LoadString stays the string table's (this
// program calls LoadStringW by that name where it means Windows' own).
#pragma once

#include <windows.h>

#pragma push_macro("IDOK")
#undef IDOK
#include "res/resource.h"
#pragma pop_macro("IDOK")

#undef LoadString
#include "res/StringTable.h"
