// `r9sim describe`'s report: the driver's own model of a device, built from its descriptor bytes
// by the driver's code and written out as text.
#pragma once

#include <string>

#include "tools/r9sim/descriptor_file.h"

namespace r9sim {

enum class SpeedChoice { Automatic, Full, High };

struct DescribeOptions {
    SpeedChoice speed = SpeedChoice::Automatic;
    std::string speedBasis;  // why the given speed holds, printed beside it
};

// Builds the model and appends the report to `report`. A simulated machine must exist (the model
// allocates from its pool). Returns 0 when the driver accepts the device, 1 when it refuses it.
int DescribeDevice(const DeviceDescriptors& descriptors, const DescribeOptions& options, std::string& report);

}  // namespace r9sim
