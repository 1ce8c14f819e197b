// The driver-wide tuning record: one per loaded driver, not per device. Driver entry resets it and
// device start fills in the settings read from the device's hardware key (the most recent start
// wins, as they are driver-wide).
#pragma once

#include "platform/kernel.h"

struct DriverTuning {
    // Non-paged, no-execute from Windows 8 on; used for every allocation and both lookaside lists.
    POOL_TYPE poolType;
    // Page priority for mapping callers' buffers (no-execute mappings from Windows 8 on).
    ULONG mapPriority;
    // Bus frames between now and the first capture request of a run.
    ULONG inStartLead;
    // Bus frames between now and the first render request of a duplex run.
    ULONG outStartLead;
    // One-millisecond packets per render request and render requests in flight.
    ULONG outPacketsPerRequest;
    ULONG outRequestsInFlight;
    // "IN URB Size": one-millisecond packets per capture request; capture requests in flight.
    ULONG inPacketsPerRequest;
    ULONG inRequestsInFlight;
    // "USB Margin": capture-to-render latency override in sample frames; 0 chooses it.
    ULONG usbMargin;
    // "gDumpCapture": which data the trace hex-dumps (0 none).
    LONG dumpSelector;
    PDRIVER_UNLOAD savedUnload;
};

extern DriverTuning g_DriverTuning;

inline constexpr ULONG kOldFashionedPacketsPerRequest = 2;
inline constexpr ULONG kOldFashionedRequestsInFlight = 3;
inline constexpr ULONG kPacketsPerRequest = 8;
inline constexpr ULONG kRequestsInFlight = 8;
// "IN URB Size" when the setting is absent or unusable.
inline constexpr ULONG kDefaultInPacketsPerRequest = 1;
// Normal page priority, and the same with MdlMappingNoExecute.
inline constexpr ULONG kMapPriority = 16;
inline constexpr ULONG kMapPriorityNoExecute = 0x40000010;

// Back to the values a freshly loaded driver has.
void ResetDriverTuning();
// Pool type and mapping priority from the platform version.
void SelectPoolType();
