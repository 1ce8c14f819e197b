// Watches one registry key with threads that each wait for a change notification and call
// OnChange on every change; CRegistryNotify turns each change into WM_APP (wParam 0) for the
// control panel dialog, which re-reads the settings on its own thread.
#pragma once

#include <vector>

#include "platform/user.h"

class CRegKeyWatcher {
public:
    CRegKeyWatcher(HKEY rootKey, const WCHAR* subkey);
    virtual ~CRegKeyWatcher();
    CRegKeyWatcher(const CRegKeyWatcher&) = delete;
    CRegKeyWatcher& operator=(const CRegKeyWatcher&) = delete;

    // Set by the owner before Start; Start clamps it to 1..16 and runs one thread more.
    void SetThreadCount(UINT count) { m_ThreadCount = count; }
    UINT ThreadCount() const { return m_ThreadCount; }
    // Creates the stop event and the threads; 0 or the system error.
    DWORD Start();
    // Ends the threads and waits for them; the watcher can then be destroyed safely.
    void Stop();
    size_t RunningThreadCount() const { return m_Threads.size(); }

protected:
    // On a watcher thread, once per change and thread.
    virtual void OnChange() { }

private:
    static DWORD WINAPI WatchProcedure(LPVOID watcher);
    DWORD Watch();

    HANDLE m_StopEvent;
    HKEY m_RootKey;
    WCHAR* m_Subkey;
    std::vector<HANDLE> m_Threads;
    UINT m_ThreadCount;
};

class CRegistryNotify final : public CRegKeyWatcher {
public:
    CRegistryNotify(HKEY rootKey, const WCHAR* subkey) : CRegKeyWatcher(rootKey, subkey), m_Target(nullptr) { }
    // OnChange runs on the threads until they have ended: they must end before this object does.
    ~CRegistryNotify() override { Stop(); }

    void SetTarget(HWND target) { m_Target = target; }

protected:
    void OnChange() override;

private:
    HWND m_Target;
};
