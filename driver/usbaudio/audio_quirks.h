// Devices that need the USB Audio Class layer to behave differently, keyed by USB vendor and
// product ID. Each flag is explained where the table is defined.
#pragma once

#include "platform/kernel.h"

namespace usbaudio {

enum AudioQuirk : ULONG {
    kQuirkNone = 0,
    kQuirkVendorClassInterfaces = 0x1,
    kQuirkConfigureAllInterfaces = 0x2,
    kQuirkLengthPrefixedRender = 0x4,
};

struct AudioQuirkEntry {
    USHORT VendorId;
    USHORT ProductId;
    ULONG Quirks;
};

extern const AudioQuirkEntry kAudioQuirks[];
extern const ULONG kAudioQuirkCount;

// The quirk flags of a device; kQuirkNone without a device descriptor.
ULONG LookUpAudioQuirks(const USB_DEVICE_DESCRIPTOR* device);

}  // namespace usbaudio
