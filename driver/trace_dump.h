// Hex dumps of audio data to the trace, sixteen bytes an event, for the "gDumpCapture" setting.
// IRQL: any.
#pragma once

#include "platform/kernel.h"

void TraceHexDump(const char* source, const char* what, const UCHAR* data, ULONG bytes);
