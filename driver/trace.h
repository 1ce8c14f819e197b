// Trace events of the kernel driver: one line per failure point and major step. They go to the
// kernel debugger at the informational level, which a debugger shows only when asked to, so they
// never mix with the driver's two fixed debugger texts.
#pragma once

#include "platform/kernel.h"

#define R9_TRACE(...) DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_INFO_LEVEL, __VA_ARGS__)
