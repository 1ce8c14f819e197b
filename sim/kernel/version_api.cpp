// RtlIsNtDdiVersionAvailable over the Windows version the simulated machine was created as.
#include "sim/api/kernel_version.h"
#include "sim/kernel/machine.h"

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version)
{
    return Version <= sim::Machine::Current().Options().windowsVersion ? TRUE : FALSE;
}
