// How the USB stack reports a URB's outcome in the IRP: the URB keeps the USBD status, the IRP gets
// the NTSTATUS the stack maps it to.
#pragma once

#include "sim/api/ntstatus.h"
#include "sim/api/usb_urb.h"

namespace sim::usb {

// Not among the kernel's declared statuses yet; the USB stack answers every request for a device
// that has left the bus with it.
constexpr NTSTATUS kStatusDeviceNotConnected = NTSTATUS(0xC000009DL);

NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

}  // namespace sim::usb
