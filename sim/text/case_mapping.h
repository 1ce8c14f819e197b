// Character classes and case tables shared by the comparison, collation and conversion code.
#pragma once

#include "sim/api/base_types.h"

namespace sim::text {

// The "C" locale of the run-time: only A-Z and a-z have a case.
WCHAR AsciiLower(WCHAR character);
WCHAR AsciiUpper(WCHAR character);

// The letters of ASCII and Latin-1, as the system's case tables map them.
WCHAR Latin1Lower(WCHAR character);
WCHAR Latin1Upper(WCHAR character);
bool IsLatin1Letter(WCHAR character);

// The ASCII letter an accented Latin-1 lower-case letter is written with ('e' for 'é'), or 0.
WCHAR Latin1BaseLetter(WCHAR lowerCaseLetter);

bool IsWideSpace(WCHAR character);

}  // namespace sim::text
