// Plug and Play's notice to the Win32 subsystem that a device interface was turned on or off,
// which it passes on to the windows registered for the interface's class.
#pragma once

#include <string>

#include "sim/api/user.h"

namespace sim::user {

void DeviceInterfaceChanged(const GUID& interfaceClass, const std::u16string& symbolicLink, bool arrived);

}  // namespace sim::user
