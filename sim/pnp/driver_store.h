// Drivers installed on the simulated machine, as setup leaves them after an INF was installed: a
// service key per driver and, for each driver, the hardware IDs its models section lists. Plug
// and Play looks here for a device's function driver.
//
//   sim::pnp::InstallDriver({u"tvr9audio", &DriverEntry, {u"USB\\VID_3A5C&PID_0009"}});
//
// Installing a service name again replaces that driver's record (a driver update).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/api/kernel.h"

namespace sim::pnp {

struct InstalledDriver {
    std::u16string service;
    PDRIVER_INITIALIZE driverEntry = nullptr;
    std::vector<std::u16string> hardwareIds;  // compared case-insensitively
};

// Writes "...\CurrentControlSet\Services\<service>" (ImagePath, Type, Start, ErrorControl) and
// records the driver. STATUS_INVALID_PARAMETER when the service name, DriverEntry or the
// hardware IDs are missing.
NTSTATUS InstallDriver(const InstalledDriver& driver);

// The driver for a device whose IDs are `deviceIds`, best match first (the hardware ID with the
// revision, then the one without): the first ID some driver lists decides, and among drivers
// listing the same ID the one installed first.
std::optional<InstalledDriver> FindDriverFor(const std::vector<std::u16string>& deviceIds);

// "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<service>".
std::u16string ServiceKeyPath(const std::u16string& service);

}  // namespace sim::pnp
