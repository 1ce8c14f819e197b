// Keeps work away from a device that is going: holders acquire before touching it and release
// after; removal closes the guard, which refuses new holders, and waits for the present ones.
//
// IRQL: Acquire and Release at <= DISPATCH_LEVEL; Wait at PASSIVE_LEVEL.
#pragma once

#include "platform/kernel.h"

class RundownGuard {
public:
    void Initialize();
    // FALSE once the guard is closed; the caller must then not touch what it guards.
    BOOLEAN Acquire();
    void Release();
    // Closes the guard and returns when the last holder has left.
    void Wait();
    // Lets holders in again after a Wait.
    void Reopen();
    BOOLEAN IsClosed() const { return m_Closing; }

private:
    KSPIN_LOCK m_Lock;
    KEVENT m_Idle;  // signalled while nobody holds the guard
    LONG m_Active;
    BOOLEAN m_Closing;
};
