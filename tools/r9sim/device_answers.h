// The part of `r9sim describe` that asks the device: a simulated device with the described
// descriptors is plugged into the simulated USB stack, the driver's CUSBAudioCL starts on it, and
// what the driver learns by asking is written out: every clock's rates from its RANGE request, the
// device's default rate, and each alternate's packet figures at that rate.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sim/usb/device_model.h"
#include "tools/r9sim/descriptor_file.h"

namespace r9sim {

// Makes the device to plug in; without one, a plain Audio Class device is built from the bytes.
using DeviceFactory = std::function<std::unique_ptr<sim::usb::UsbDeviceModel>()>;

// Needs a simulated machine, created on the calling thread. Appends to `report`.
void DescribeDeviceAnswers(const DeviceDescriptors& descriptors, bool highSpeed, const DeviceFactory& makeDevice,
                           std::string& report);

}  // namespace r9sim
