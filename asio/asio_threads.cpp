// The driver's two helper threads. The window thread owns the host lock, which makes this the one
// ASIO host of the system, for the life of the object, and keeps a hidden window. The settings
// thread waits for the control panel's change signal and re-reads the settings.
#include <cstring>

#include "asio/asio_driver.h"
#include "common/trace.h"

namespace {

const WCHAR kHostLockName[] = W("Global\\{2776BEA9-A762-481A-B70C-B1E9D89A91BA}");
const WCHAR kWindowClassName[] = W("TVR9ASIO");
const char kUsedByAnotherHost[] = "Used by another ASIO host\n";
const char kNoResources[] = "No sufficient system resource\n";

// The driver object whose window this process has.
ProcessLocal<CQyxAsioDriver*> g_WindowOwner;

LRESULT WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        g_WindowOwner.Get() = static_cast<CQyxAsioDriver*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        return 0;
    case WM_TIMER:
    case WM_POWERBROADCAST:
        return g_WindowOwner.Get() != nullptr ? g_WindowOwner.Get()->OnWindowMessage(message, wParam) : 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

bool CQyxAsioDriver::StartWindowThread()
{
    m_WindowThread = CreateThread(nullptr, 0, WindowThread, this, 0, nullptr);
    if (m_WindowThread == nullptr) {
        TraceEvent(W("CQyxAsioDriver: no window thread (error %lu)"), GetLastError());
        return false;
    }
    return true;
}

void CQyxAsioDriver::StopWindowThread()
{
    if (m_WindowThread == nullptr) {
        return;
    }
    if (m_Window != nullptr) {
        PostMessageW(m_Window, WM_QUIT, 0, 0);
    }
    // The thread releases the host lock as it ends.
    WaitForSingleObject(m_WindowThread, INFINITE);
    CloseHandle(m_WindowThread);
    m_WindowThread = nullptr;
    m_Window = nullptr;
}

DWORD WINAPI CQyxAsioDriver::WindowThread(LPVOID parameter)
{
    return static_cast<CQyxAsioDriver*>(parameter)->RunWindowThread();
}

DWORD CQyxAsioDriver::RunWindowThread()
{
    // Created owned: whoever created it first is the host; everyone else finds it existing.
    HANDLE hostLock = CreateMutexW(nullptr, TRUE, kHostLockName);
    if (hostLock == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        SetError(kUsedByAnotherHost);
        if (hostLock != nullptr) {
            CloseHandle(hostLock);
        }
        m_Window = nullptr;
        SetEvent(m_InitEvent);
        return 0;
    }
    const HMODULE module = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = module;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(ULONG_PTR(COLOR_WINDOW + 1));
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, kWindowClassName, W(""), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                                  nullptr, nullptr, module, this);
    if (window == nullptr) {
        TraceEvent(W("CQyxAsioDriver: no window (error %lu)"), GetLastError());
        SetError(kNoResources);
        UnregisterClassW(kWindowClassName, module);
        ReleaseMutex(hostLock);
        CloseHandle(hostLock);
        m_Window = nullptr;
        SetEvent(m_InitEvent);
        return 0;
    }
    m_Window = window;
    SetEvent(m_InitEvent);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow(window);
    g_WindowOwner.Get() = nullptr;
    UnregisterClassW(kWindowClassName, module);
    ReleaseMutex(hostLock);
    CloseHandle(hostLock);
    return 0;
}

bool CQyxAsioDriver::StartSettingsThread()
{
    m_SettingsThread = CreateThread(nullptr, 0, SettingsThread, this, 0, nullptr);
    if (m_SettingsThread == nullptr) {
        TraceEvent(W("CQyxAsioDriver: no settings thread (error %lu)"), GetLastError());
        return false;
    }
    return true;
}

void CQyxAsioDriver::StopSettingsThread()
{
    if (m_SettingsThread == nullptr) {
        return;
    }
    // The thread exists only with all three events (init starts it after taking them).
    SetEvent(m_QuitEvent);
    WaitForSingleObject(m_SettingsThread, INFINITE);
    CloseHandle(m_SettingsThread);
    m_SettingsThread = nullptr;
}

DWORD WINAPI CQyxAsioDriver::SettingsThread(LPVOID parameter)
{
    return static_cast<CQyxAsioDriver*>(parameter)->RunSettingsThread();
}

DWORD CQyxAsioDriver::RunSettingsThread()
{
    if (m_ListenerEvent == nullptr || m_ChangeEvent == nullptr || m_QuitEvent == nullptr) {
        return 0;
    }
    // The control panel signals changes only while a driver listens.
    SetEvent(m_ListenerEvent);
    const HANDLE handles[2] = {m_QuitEvent, m_ChangeEvent};
    while (true) {
        const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            ResetEvent(m_ListenerEvent);
            return 0;
        }
        if (result == WAIT_OBJECT_0 + 1) {
            OnSettingsChanged();
        } else if (result == WAIT_FAILED) {
            // A wait that cannot be made would fail again at once: waiting again would only spin.
            TraceEvent(W("CQyxAsioDriver: the settings thread cannot wait (error %lu)"), GetLastError());
            ResetEvent(m_ListenerEvent);
            return 1;
        }
    }
}

void CQyxAsioDriver::OnSettingsChanged()
{
    CSettingsLockHolder held(*m_SettingsLock);
    DWORD index = 0;
    const bool indexRead = m_Settings.ReadSetting(kSettingBufferSizeIndex, &index, sizeof index) == kSettingsOk;
    const bool indexChanged = !indexRead || index != m_BufferSizeIndex;
    DWORD rate = 0;
    const bool rateRead = m_Settings.ReadSetting(kSettingSamplingRate, &rate, sizeof rate) == kSettingsOk;
    const bool rateChanged = !rateRead || rate != m_CurrentRate;
    WCHAR selected[128] = {};
    const bool selectedChanged =
        m_Settings.ReadSetting(kSettingSelected, selected, sizeof selected) != kSettingsOk ||
        std::memcmp(selected, m_SelectedId, wcslen(m_SelectedId) * sizeof(WCHAR)) != 0;
    if (!indexChanged && !rateChanged && !selectedChanged) {
        return;
    }
    if (m_Callbacks != nullptr) {
        // The host has buffers: it must rebuild them, and then finds the new size; a new rate is
        // kept aside until the host starts over.
        if (indexChanged && indexRead) {
            m_BufferSizeIndex = index;
        }
        if (rateChanged && rateRead) {
            m_StoredRate = rate;
        }
        SendResetRequest(rateChanged);
    } else {
        LoadSettings();
    }
}
