// Holds a critical section for a scope.
#pragma once

#include "platform/user.h"

class CriticalSectionHolder {
public:
    explicit CriticalSectionHolder(CRITICAL_SECTION& lock) : m_Lock(lock) { EnterCriticalSection(&m_Lock); }
    ~CriticalSectionHolder() { LeaveCriticalSection(&m_Lock); }
    CriticalSectionHolder(const CriticalSectionHolder&) = delete;
    CriticalSectionHolder& operator=(const CriticalSectionHolder&) = delete;

private:
    CRITICAL_SECTION& m_Lock;
};
