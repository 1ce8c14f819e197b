// The one registry of the current simulated machine, with the keys every Windows machine has.
#pragma once

#include "sim/registry/store.h"

namespace sim::registry {

inline constexpr char16_t kMachineSystemPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM";
inline constexpr char16_t kControlSetPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001";
inline constexpr char16_t kCurrentControlSetPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet";
inline constexpr char16_t kEnumPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char16_t kClassPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class";

// Made on first use for each machine: ControlSet001 with Control, Enum and Services, the
// CurrentControlSet link to it, SOFTWARE, HARDWARE\DEVICEMAP and USER.
Store& MachineRegistry();

}  // namespace sim::registry
