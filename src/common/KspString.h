// The owned wide string of 16-bit UTF-16 code units that carries every name.
// Equality is ordinal: same length, same code units, case-sensitive.
#ifndef KSP_STRING_H
#define KSP_STRING_H

#include <string>

#include "common/KspPlatform.h"

typedef std::basic_string<WCHAR> KSP_WSTRING;

static_assert(sizeof(WCHAR) == 2, "wide strings hold 16-bit code units");

#endif
