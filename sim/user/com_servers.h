// In-process COM servers of the simulated machine: a DLL is known by its file path and its
// exports. CoCreateInstance finds a class's path under HKEY_CLASSES_ROOT\CLSID\{clsid} in the
// key InprocServer32, loads the module into the calling process (once per process) and calls its
// DllGetClassObject, as COM does. The system's own servers (the audio endpoint enumerator in
// MMDevAPI.dll) are registered on first use of COM.
//
//   sim::user::RegisterInprocServer(u"C:\\Program Files\\TAVO\\tvr9asio.dll",
//                                   {&DllGetClassObject, &DllCanUnloadNow});
#pragma once

#include <string>

#include "sim/api/user.h"

namespace sim::user {

struct InprocServerExports {
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    LPFNCANUNLOADNOW canUnloadNow = nullptr;
};

void RegisterInprocServer(const std::u16string& path, InprocServerExports exports);

}  // namespace sim::user
