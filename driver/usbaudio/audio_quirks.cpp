#include "driver/usbaudio/audio_quirks.h"

namespace usbaudio {

// kQuirkVendorClassInterfaces: the firmware reports its Audio Control and Audio Streaming
//   interfaces with the vendor-specific class code 0xFF (so that the system's own class driver
//   leaves them alone) while their descriptors are ordinary Audio Class ones.
// kQuirkConfigureAllInterfaces: the firmware stalls its streaming endpoints unless the
//   configuration request includes every interface, the non-audio ones too.
// kQuirkLengthPrefixedRender: the firmware expects every render packet to begin with its length.
const AudioQuirkEntry kAudioQuirks[] = {
    {0x3A5C, 0x0005, kQuirkVendorClassInterfaces | kQuirkConfigureAllInterfaces | kQuirkLengthPrefixedRender},
    {0x3A5C, 0x0006, kQuirkVendorClassInterfaces | kQuirkConfigureAllInterfaces},
    {0x3A5C, 0x0007, kQuirkConfigureAllInterfaces},
};

const ULONG kAudioQuirkCount = sizeof(kAudioQuirks) / sizeof(kAudioQuirks[0]);

ULONG LookUpAudioQuirks(const USB_DEVICE_DESCRIPTOR* device)
{
    if (device == nullptr) {
        return kQuirkNone;
    }
    for (ULONG i = 0; i < kAudioQuirkCount; ++i) {
        if (kAudioQuirks[i].VendorId == device->idVendor && kAudioQuirks[i].ProductId == device->idProduct) {
            return kAudioQuirks[i].Quirks;
        }
    }
    return kQuirkNone;
}

}  // namespace usbaudio
