// What the USB hub driver reads from a newly enumerated device to name its device node: the
// device descriptor's IDs and revision, and the product and serial-number strings, requested in
// US English as the hub asks for them.
#pragma once

#include <optional>

#include "sim/pnp/device_tree.h"
#include "sim/usb/bus_device.h"

namespace sim::pnp {

// The identity of the device on `device`'s port; nullopt when the device descriptor request
// fails (stall, short or malformed reply). A serial number with characters a device instance ID
// cannot hold (control characters, spaces, commas, anything beyond ASCII) is ignored, as the hub
// ignores it, and the device gets a port-based instance ID; so is a serial number that a present
// device with the same IDs already uses, so that two devices never share one node. Without a
// product string the description stays the generic one.
std::optional<UsbDeviceIdentity> ReadUsbIdentity(usb::BusDevice& device);

}  // namespace sim::pnp
