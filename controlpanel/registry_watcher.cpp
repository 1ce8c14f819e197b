// The registry watcher's threads. Every thread registers its own asynchronous notification on
// its own key handle (watching the subtree, for names, attributes, values and security), so one
// change wakes each of them once. Failures are reported through the debugger output and the
// thread's exit code only.
#include "controlpanel/registry_watcher.h"

#include <cstdarg>

#include "common/trace.h"

namespace {

constexpr UINT kMostThreads = 16;
constexpr DWORD kWatchedChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                                  REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

void DebugLine(const WCHAR* format, ...)
{
    WCHAR line[128];
    va_list arguments;
    va_start(arguments, format);
    vswprintf_s(line, ARRAYSIZE(line), format, arguments);
    va_end(arguments);
    OutputDebugStringW(line);
}

}  // namespace

CRegKeyWatcher::CRegKeyWatcher(HKEY rootKey, const WCHAR* subkey)
    : m_StopEvent(nullptr), m_RootKey(rootKey), m_Subkey(nullptr), m_ThreadCount(0)
{
    const size_t length = wcslen(subkey) + 1;
    m_Subkey = new WCHAR[length];
    wcscpy_s(m_Subkey, length, subkey);
}

CRegKeyWatcher::~CRegKeyWatcher()
{
    Stop();
    delete[] m_Subkey;
}

DWORD CRegKeyWatcher::Start()
{
    m_ThreadCount = m_ThreadCount == 0 ? 1 : m_ThreadCount > kMostThreads ? kMostThreads : m_ThreadCount;
    m_StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_StopEvent == nullptr) {
        return GetLastError();
    }
    for (UINT index = 0; index < m_ThreadCount + 1; ++index) {
        HANDLE thread = CreateThread(nullptr, 0, WatchProcedure, this, CREATE_SUSPENDED, nullptr);
        if (thread == nullptr) {
            const DWORD error = GetLastError();
            OutputDebugStringW(W("! CreateThread failed.\n"));
            if (error != 0) {
                for (HANDLE created : m_Threads) {
                    CloseHandle(created);
                }
                m_Threads.clear();
                return error;
            }
            break;
        }
        m_Threads.push_back(thread);
    }
    for (HANDLE thread : m_Threads) {
        DebugLine(W("start: %p\n"), thread);
        ResumeThread(thread);
    }
    return 0;
}

// The threads read this object's fields and call OnChange: they are waited for before their
// handles and the stop event are closed, so that none of them outlives what it uses.
void CRegKeyWatcher::Stop()
{
    if (m_StopEvent == nullptr) {
        return;
    }
    SetEvent(m_StopEvent);
    for (HANDLE thread : m_Threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    m_Threads.clear();
    CloseHandle(m_StopEvent);
    m_StopEvent = nullptr;
}

DWORD WINAPI CRegKeyWatcher::WatchProcedure(LPVOID watcher)
{
    if (watcher == nullptr) {
        OutputDebugStringW(W("! invalid parameter\n"));
        return ERROR_INVALID_PARAMETER;
    }
    return static_cast<CRegKeyWatcher*>(watcher)->Watch();
}

DWORD CRegKeyWatcher::Watch()
{
    HANDLE changeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (changeEvent == nullptr) {
        return GetLastError();
    }
    DWORD lastError = 0;
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(m_RootKey, m_Subkey, 0, KEY_NOTIFY, &key);
    if (opened != ERROR_SUCCESS) {
        DebugLine(W("Error in RegOpenKeyEx (%d).\n"), int(opened));
        lastError = DWORD(opened);
    } else {
        while (true) {
            const LSTATUS registered = RegNotifyChangeKeyValue(key, TRUE, kWatchedChanges, changeEvent, TRUE);
            if (registered != ERROR_SUCCESS) {
                DebugLine(W("Error in RegNotifyChangeKeyValue (%d).\n"), int(registered));
                lastError = DWORD(registered);
                RegCloseKey(key);
                break;
            }
            const HANDLE waits[2] = {m_StopEvent, changeEvent};
            const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (woken == WAIT_OBJECT_0) {
                // Closing the key completes the pending notification: its event is set.
                RegCloseKey(key);
                WaitForSingleObject(changeEvent, INFINITE);
                lastError = 0;
                break;
            }
            if (woken == WAIT_OBJECT_0 + 1) {
                OnChange();
                continue;
            }
            lastError = GetLastError();
            DebugLine(W("Error in WaitForSingleObject (%d).\n"), int(lastError));
            if (lastError != 0) {
                RegCloseKey(key);
                break;
            }
        }
    }
    CloseHandle(changeEvent);
    OutputDebugStringW(W("end\n"));
    return lastError;
}

void CRegistryNotify::OnChange()
{
    TraceEvent(W("CRegistryNotify: the settings key changed"));
    if (m_Target != nullptr) {
        PostMessageW(m_Target, WM_APP, 0, 0);
    }
}
