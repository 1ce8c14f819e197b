// A small adapter driver written for these tests, shaped like a PortCls audio driver: DriverEntry
// hands the driver object to PortCls, AddDevice makes the adapter device, StartDevice creates an
// adapter object with power management and a WaveCyclic filter with one render and one capture
// streaming pin, registered as "wave_44100". What PortCls does to it is written to `Events()`.
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

}  // namespace portcls_test
