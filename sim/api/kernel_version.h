// The platform version query: drivers choose version-dependent behaviour by asking whether the
// running system is at least a given NTDDI version.
#pragma once

#include "sim/api/base_types.h"

#define NTDDI_VISTA 0x06000000
#define NTDDI_WIN7 0x06010000
#define NTDDI_WIN8 0x06020000
#define NTDDI_WINBLUE 0x06030000
#define NTDDI_WIN10 0x0A000000

// TRUE when the simulated machine's Windows version (MachineOptions) is Version or later.
BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version);
