// The device access library's device-free parts checked against whichever Win32 runs them: the
// simulated machine's (a host test) or a real one (Wine, from the Windows build). The program
// starts copies of itself as the other process of the two-process checks.
#pragma once

#include "platform/user.h"

// The program's entry: with no argument it runs every check and returns the number of failures;
// "listen" and "die" are the child roles.
int DeviceFreeChecksMain(int argc, WCHAR** argv);
