// Device interfaces of the simulated machine (IoRegisterDeviceInterface, IoSetDeviceInterfaceState):
// the symbolic links Windows forms for a device node, their enabled state, and the keys Windows
// keeps for them under "...\Control\DeviceClasses", which SetupAPI enumerates in user mode.
//
// A link reads "\??\USB#VID_3A5C&PID_0009#<instance>#{class guid}\<reference string>": the device
// instance path with '\' turned into '#', the interface class in lower-case braces form, and the
// reference string (if any) after a backslash. The DeviceClasses key of an interface is the same
// text with "\??\" written "##?#" and no reference string; each reference string has a subkey
// "#<reference string>" holding "SymbolicLink" (in the "\\?\" form) and "Control\Linked" (1 while
// enabled).
#pragma once

#include <string>
#include <vector>

#include "sim/api/kernel.h"

namespace sim::pnp {

struct DeviceInterfaceRecord {
    GUID interfaceClass;
    std::u16string symbolicLink;  // "\??\..." as IoRegisterDeviceInterface returns it
    std::u16string instancePath;  // of the device node it belongs to
    std::u16string referenceString;
    bool enabled = false;
};

// Every interface registered on the current machine, in registration order.
std::vector<DeviceInterfaceRecord> DeviceInterfaces();

// "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Control\DeviceClasses\{guid}".
std::u16string DeviceClassKeyPath(const GUID& interfaceClass);

}  // namespace sim::pnp
