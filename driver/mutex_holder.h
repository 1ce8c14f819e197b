// Holds a kernel mutex for the life of a scope, so every return path releases it.
// IRQL: PASSIVE_LEVEL (or APC_LEVEL) to wait for it.
#pragma once

#include "platform/kernel.h"

class MutexHolder {
public:
    explicit MutexHolder(PKMUTEX mutex) : m_Mutex(mutex)
    {
        KeWaitForSingleObject(m_Mutex, Executive, KernelMode, FALSE, nullptr);
    }
    ~MutexHolder() { KeReleaseMutex(m_Mutex, FALSE); }
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;

private:
    PKMUTEX m_Mutex;
};
