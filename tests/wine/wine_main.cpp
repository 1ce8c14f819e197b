// The device-free checks as a Windows program, run under Wine by scripts/run-tests.sh.
#include "tests/wine/device_free_checks.h"

int wmain(int argc, wchar_t** argv) { return DeviceFreeChecksMain(argc, argv); }
