#include "tools/r9sim/asio_driver_install.h"

#include "sim/user/com_servers.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out);
extern "C" HRESULT DllCanUnloadNow();
extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

namespace r9sim {

namespace {

// regsvr32 calls an entry point with the DLL loaded into its process, and unloads it after.
HRESULT CallLoaded(HRESULT (*entry)())
{
    sim::user::RegisterInprocServer(kAsioDriverPath, {&DllGetClassObject, &DllCanUnloadNow});
    const HMODULE module = LoadLibraryW(reinterpret_cast<LPCWSTR>(kAsioDriverPath));
    if (module == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    const HRESULT result = entry();
    FreeLibrary(module);
    return result;
}

}  // namespace

HRESULT InstallAsioDriver() { return CallLoaded(&DllRegisterServer); }

HRESULT UninstallAsioDriver() { return CallLoaded(&DllUnregisterServer); }

}  // namespace r9sim
