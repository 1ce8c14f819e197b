// controlPanel: the host's button starts the control panel program, without waiting for it. The
// program's path is where its installer wrote it.
#include "asio/asio_driver.h"
#include "common/trace.h"

namespace {

const WCHAR kSetupKey[] = W("SOFTWARE\\TAVO\\R9 Driver Setup");
const WCHAR kControlPanelValue[] = W("ControlPanel");
constexpr DWORD kPathBytes = 256;

// The installed path, read from the 64-bit view whatever this module's bitness; false without it.
bool ReadControlPanelPath(WCHAR (&path)[kPathBytes / sizeof(WCHAR) + 1])
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSetupKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD size = kPathBytes;
    const LSTATUS error = RegQueryValueExW(key, kControlPanelValue, nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    // A stored text need not carry its terminator.
    path[size / sizeof(WCHAR)] = 0;
    return true;
}

}  // namespace

ASIOError CQyxAsioDriver::controlPanel()
{
    WCHAR path[kPathBytes / sizeof(WCHAR) + 1] = {};
    if (!ReadControlPanelPath(path)) {
        TraceEvent(W("CQyxAsioDriver::controlPanel: no control panel installed"));
        return ASE_OK;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &startup, &process)) {
        TraceEvent(W("CQyxAsioDriver::controlPanel: %ls did not start (error %lu)"), path, GetLastError());
        return ASE_OK;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ASE_OK;
}
