// The part of `r9sim describe` that shows the filter the driver hands to the audio stack: the
// driver, started on the simulated device, builds its filter description, and its pins (data flow,
// communication, category, data ranges), nodes (type, unit) and connections are written out.
#pragma once

#include <string>

class CUSBAudioCL;

namespace r9sim {

// Builds the filter on a started, configured driver, appends it to `report` and frees it again.
void DescribeFilter(CUSBAudioCL& driver, std::string& report);

}  // namespace r9sim
