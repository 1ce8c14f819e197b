// The named objects through which the ASIO driver and the control panel coordinate: the
// machine-wide settings lock, the ASIO driver's four events, and the change signal.
#pragma once

#include "platform/user.h"

extern const WCHAR kSettingsLockName[];
extern const WCHAR kStreamingEventName[];
extern const WCHAR kListenerEventName[];
extern const WCHAR kChangeEventName[];

// The settings lock: a named, recursive mutex any user's process may open (a NULL DACL). Waits
// have no time limit, and a lock whose holder died (abandoned) counts as acquired.
class CSettingsLock {
public:
    CSettingsLock();
    ~CSettingsLock();
    CSettingsLock(const CSettingsLock&) = delete;
    CSettingsLock& operator=(const CSettingsLock&) = delete;

    // Creates or opens the mutex (not owned); false when neither works.
    bool Create();
    bool Acquire();
    void Release();
    // Closes the handle; a later Acquire fails until Create.
    void Close();
    bool IsOpen() const { return m_Mutex != nullptr; }

private:
    HANDLE m_Mutex;
};

// Holds the settings lock for a scope.
class CSettingsLockHolder {
public:
    explicit CSettingsLockHolder(CSettingsLock& lock) : m_Lock(lock), m_Held(lock.Acquire()) { }
    ~CSettingsLockHolder()
    {
        if (m_Held) {
            m_Lock.Release();
        }
    }
    CSettingsLockHolder(const CSettingsLockHolder&) = delete;
    CSettingsLockHolder& operator=(const CSettingsLockHolder&) = delete;
    bool Held() const { return m_Held; }

private:
    CSettingsLock& m_Lock;
    bool m_Held;
};

// The ASIO driver's events: streaming, listener, change and quit, in that order.
class CChangeEvents {
public:
    CChangeEvents();
    ~CChangeEvents();
    CChangeEvents(const CChangeEvents&) = delete;
    CChangeEvents& operator=(const CChangeEvents&) = delete;

    // All four or none.
    bool Create();
    void Close();
    bool GetWatchHandles(HANDLE* listener, HANDLE* change, HANDLE* quit) const;
    bool SetStreaming(bool streaming);
    HANDLE QuitEvent() const { return m_Quit; }

private:
    HANDLE m_Streaming;
    HANDLE m_Listener;
    HANDLE m_Change;
    HANDLE m_Quit;
};

// Wakes a running ASIO driver after settings were written; does nothing when none listens.
void NotifySettingsChanged();
// Whether a host is streaming: the streaming event, tested without waiting.
bool IsHostStreaming(HANDLE streamingEvent);
