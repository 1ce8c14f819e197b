// The wave filter's registration with PortCls, named after the device rate ("wave_44100"), at
// device start and again after each rate change.
#pragma once

#include "platform/kernel.h"

class UsbAudioAdapter;

// IRQL: PASSIVE_LEVEL. STATUS_UNSUCCESSFUL for a rate without a filter name: the device then
// offers no wave filter, only the driver's private interface.
NTSTATUS RegisterWaveSubdevice(PDEVICE_OBJECT deviceObject, UsbAudioAdapter* adapter);

// The subdevice name of a rate, or null.
PCWSTR WaveSubdeviceName(ULONG rate);
