// A small adapter driver written for these tests, shaped like a PortCls audio driver: DriverEntry
// hands the driver object to PortCls, AddDevice makes the adapter device, StartDevice creates an
// adapter object with power management and a WaveCyclic filter with one render and one capture
// streaming pin (stereo, 24 bits, 44.1 kHz), registered as "wave_44100". Its streams take their
// DMA channel from the port (NewMasterDmaChannel, 100 ms) and report the position a test sets.
// What PortCls does to it is written to `Events()`.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel.h"

namespace portcls_test {

// The driver's own record after PortCls's part of the device extension.
struct TestExtension {
    ULONG marker;
    UCHAR last[60];
};
inline constexpr ULONG kExtensionMarker = 0x52394558;

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// Builds a port with a fresh miniport, as the driver does on a rate change; the caller registers
// it and releases it.
NTSTATUS NewWavePort(PDEVICE_OBJECT deviceObject, PPORT* port);

// "adapter D3", "miniport D0", "start", "miniport released", ... in the order they happened.
std::vector<std::string>& Events();
// Adapter and miniport objects alive.
LONG LiveObjects();

// The power answer QueryPowerChangeState gives; STATUS_SUCCESS unless a test changes it.
void SetPowerQueryAnswer(NTSTATUS status);

// The streams' format and buffer: 44.1 kHz, stereo, 24-bit; 100 ms; notified every 10 ms.
inline constexpr ULONG kStreamFrameBytes = 6;
inline constexpr ULONG kStreamBufferBytes = 4410 * kStreamFrameBytes;
inline constexpr ULONG kStreamPeriodBytes = 441 * kStreamFrameBytes;
// The offset every stream's GetPosition reports from now on.
void SetStreamPosition(ULONG position);
// The cyclic buffer of the stream made last.
PUCHAR LastStreamBuffer();

}  // namespace portcls_test
