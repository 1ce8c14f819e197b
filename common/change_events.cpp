#include "common/change_events.h"

#include <initializer_list>

#include "common/trace.h"

const WCHAR kSettingsLockName[] = W("Global\\{1F6D657B-F1DE-48EB-9028-1ED4848D11EA}");
const WCHAR kStreamingEventName[] = W("{D39AF91E-BB45-470A-B1FA-A439BCFA50DE}");
const WCHAR kListenerEventName[] = W("{C68A1F4F-57EA-479B-88DA-D34403C62AF2}0");
const WCHAR kChangeEventName[] = W("{C68A1F4F-57EA-479B-88DA-D34403C62AF2}1");

CSettingsLock::CSettingsLock() : m_Mutex(nullptr) { }

CSettingsLock::~CSettingsLock() { Close(); }

void CSettingsLock::Close()
{
    if (m_Mutex != nullptr) {
        CloseHandle(m_Mutex);
        m_Mutex = nullptr;
    }
}

bool CSettingsLock::Create()
{
    if (m_Mutex != nullptr) {
        return true;
    }
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        TraceEvent(W("CSettingsLock: no security descriptor (error %lu)"), GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, TRUE};
    m_Mutex = CreateMutexW(&attributes, FALSE, kSettingsLockName);
    if (m_Mutex == nullptr) {
        TraceEvent(W("CSettingsLock: cannot create the settings lock (error %lu)"), GetLastError());
        return false;
    }
    return true;
}

bool CSettingsLock::Acquire()
{
    if (m_Mutex == nullptr) {
        return false;
    }
    const DWORD result = WaitForSingleObject(m_Mutex, INFINITE);
    if (result == WAIT_ABANDONED) {
        // The last holder died holding it; the settings it guarded are as that process left them.
        TraceEvent(W("CSettingsLock: acquired abandoned"));
        return true;
    }
    return result == WAIT_OBJECT_0;
}

void CSettingsLock::Release()
{
    if (m_Mutex != nullptr && !ReleaseMutex(m_Mutex)) {
        TraceEvent(W("CSettingsLock: release failed (error %lu)"), GetLastError());
    }
}

CChangeEvents::CChangeEvents() : m_Streaming(nullptr), m_Listener(nullptr), m_Change(nullptr), m_Quit(nullptr) { }

CChangeEvents::~CChangeEvents() { Close(); }

bool CChangeEvents::Create()
{
    Close();
    m_Streaming = CreateEventW(nullptr, TRUE, FALSE, kStreamingEventName);
    m_Listener = m_Streaming != nullptr ? CreateEventW(nullptr, TRUE, FALSE, kListenerEventName) : nullptr;
    m_Change = m_Listener != nullptr ? CreateEventW(nullptr, FALSE, FALSE, kChangeEventName) : nullptr;
    m_Quit = m_Change != nullptr ? CreateEventW(nullptr, FALSE, FALSE, nullptr) : nullptr;
    if (m_Quit == nullptr) {
        TraceEvent(W("CChangeEvents: cannot create the events (error %lu)"), GetLastError());
        Close();
        return false;
    }
    return true;
}

void CChangeEvents::Close()
{
    for (HANDLE* event : {&m_Change, &m_Quit, &m_Listener, &m_Streaming}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}

bool CChangeEvents::GetWatchHandles(HANDLE* listener, HANDLE* change, HANDLE* quit) const
{
    if (m_Listener == nullptr || m_Change == nullptr || m_Quit == nullptr) {
        return false;
    }
    *listener = m_Listener;
    *change = m_Change;
    *quit = m_Quit;
    return true;
}

bool CChangeEvents::SetStreaming(bool streaming)
{
    if (m_Streaming == nullptr) {
        return false;
    }
    return (streaming ? SetEvent(m_Streaming) : ResetEvent(m_Streaming)) != FALSE;
}

void NotifySettingsChanged()
{
    HANDLE listener = OpenEventW(SYNCHRONIZE, FALSE, kListenerEventName);
    if (listener == nullptr) {
        return;  // no ASIO driver listens; it reads the settings when it next starts
    }
    CloseHandle(listener);
    HANDLE change = OpenEventW(EVENT_MODIFY_STATE, FALSE, kChangeEventName);
    if (change == nullptr) {
        TraceEvent(W("NotifySettingsChanged: no change event (error %lu)"), GetLastError());
        return;
    }
    SetEvent(change);
    CloseHandle(change);
}

bool IsHostStreaming(HANDLE streamingEvent)
{
    return streamingEvent != nullptr && WaitForSingleObject(streamingEvent, 0) == WAIT_OBJECT_0;
}
