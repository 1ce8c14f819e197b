// The number of logical processors, from GetLogicalProcessorInformation looked up in kernel32:
// the bits of every processor core's mask. 0 when the function is missing or fails. The other
// relations feed a summary in the debugger output.
#pragma once

#include "platform/user.h"

UINT CountLogicalProcessors();
