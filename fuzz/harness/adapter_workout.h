// What the driver does with a started device short of streaming, through the adapter every other
// part of the driver goes through: the device's rate range, rate changes (each re-registers the
// wave filter and rewrites the endpoints' saved formats), the capabilities and format ranges of
// every pin, the native-DSD mode switched on and off, and a power cycle (back in D0 the streaming
// interfaces return to zero bandwidth and get their mode again).
#pragma once

#include <vector>

#include "driver/adapter_interfaces.h"
#include "sim/usb/bus_device.h"

namespace fuzz {

// The adapter of the driver Plug and Play started on the device, or null when none started.
IUsbAudioAdapter* StartedAdapter(sim::usb::BusDevice& device);

void WorkOutAdapter(IUsbAudioAdapter& adapter, const std::vector<ULONG>& rates);

}  // namespace fuzz
