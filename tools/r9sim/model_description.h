// `r9sim describe`'s report: the driver's own model of a device, built from its descriptor bytes
// by the driver's code and written out as text.
#pragma once

#include <string>

#include "tools/r9sim/descriptor_file.h"
#include "tools/r9sim/device_answers.h"

namespace r9sim {

enum class SpeedChoice { Automatic, Full, High };

struct DescribeOptions {
    SpeedChoice speed = SpeedChoice::Automatic;
    std::string speedBasis;  // why the given speed holds, printed beside it
    DeviceFactory makeDevice;  // the simulated device the driver asks; none: one built from the bytes
};

// Builds the model and appends the report to `report`; for a device the driver accepts, the
// driver then asks the simulated device (DescribeDeviceAnswers). A simulated machine must exist,
// created on the calling thread. Returns 0 when the driver accepts the device, 1 when it refuses it.
int DescribeDevice(const DeviceDescriptors& descriptors, const DescribeOptions& options, std::string& report);

}  // namespace r9sim
