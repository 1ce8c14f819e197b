// tvr9asio.dll installed on the simulated machine as the package's installer installs it: the DLL
// in its folder, registered by regsvr32 (loaded, DllRegisterServer, unloaded), so that hosts find
// it under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO and COM loads it from its InprocServer32 path.
#pragma once

#include <string>

#include "platform/user.h"

namespace r9sim {

inline constexpr char16_t kAsioDriverPath[] = u"C:\\Program Files\\TAVO\\R9\\tvr9asio.dll";

// Must run on a thread of a simulated process. The DllRegisterServer result.
HRESULT InstallAsioDriver();
// DllUnregisterServer's work; the DLL stays known to the machine.
HRESULT UninstallAsioDriver();

}  // namespace r9sim
