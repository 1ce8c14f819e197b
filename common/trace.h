// Trace events of the device access library: one line per failure point, through the debugger
// output (OutputDebugStringW). They carry no behaviour.
#pragma once

#include "platform/user.h"

void TraceEvent(const WCHAR* format, ...);
