#include "driver/driver_tuning.h"

DriverTuning g_DriverTuning = {NonPagedPool, kMapPriority, 7, 1, kPacketsPerRequest, kRequestsInFlight, 1,
                               kRequestsInFlight, 0, 0, nullptr};

void ResetDriverTuning()
{
    g_DriverTuning = DriverTuning{NonPagedPool, kMapPriority, 7, 1, kPacketsPerRequest, kRequestsInFlight, 1,
                                  kRequestsInFlight, 0, 0, nullptr};
}

void SelectPoolType()
{
    const bool windows8 = RtlIsNtDdiVersionAvailable(NTDDI_WIN8) != FALSE;
    g_DriverTuning.poolType = windows8 ? NonPagedPoolNx : NonPagedPool;
    g_DriverTuning.mapPriority = windows8 ? kMapPriorityNoExecute : kMapPriority;
}
