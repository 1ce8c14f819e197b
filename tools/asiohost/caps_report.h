// The "ASIO caps" report of an initialised driver: what it says about itself when a host asks,
// the way a user or a driver's developer wants to see it before anything streams.
#pragma once

#include <ostream>
#include <string>

#include "asio/asio_interface.h"

namespace asiohost {

// Names, channels with their names and sample types, buffer sizes, latencies, the current rate
// and which standard rates the driver can run, clock sources, DSD, time info and outputReady.
void ReportCaps(IASIO* driver, std::ostream& out);

// "ASE_NotPresent", ... or the number.
std::string ErrorName(ASIOError error);

}  // namespace asiohost
