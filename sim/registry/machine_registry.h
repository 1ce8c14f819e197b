// The one registry of the current simulated machine, with the keys every Windows machine has.
#pragma once

#include "sim/registry/store.h"

namespace sim::registry {

inline constexpr char16_t kMachineSystemPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM";
inline constexpr char16_t kControlSetPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001";
inline constexpr char16_t kCurrentControlSetPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet";
inline constexpr char16_t kEnumPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char16_t kClassPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class";

// The one interactive user of the machine: HKEY_CURRENT_USER of every simulated process.
inline constexpr char16_t kCurrentUserPath[] = u"\\REGISTRY\\USER\\S-1-5-21-3623811015-3361044348-30300820-1001";
inline constexpr char16_t kMachineClassesPath[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes";

// Made on first use for each machine: ControlSet001 with Control, Enum and Services, the
// CurrentControlSet link to it, SOFTWARE with its Classes, HARDWARE\DEVICEMAP, USER with the
// interactive user's key, and the multimedia class scheduler's tasks.
Store& MachineRegistry();

}  // namespace sim::registry
