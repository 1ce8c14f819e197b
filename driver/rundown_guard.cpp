#include "driver/rundown_guard.h"

void RundownGuard::Initialize()
{
    KeInitializeSpinLock(&m_Lock);
    KeInitializeEvent(&m_Idle, NotificationEvent, TRUE);
    m_Active = 0;
    m_Closing = FALSE;
}

BOOLEAN RundownGuard::Acquire()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    const BOOLEAN acquired = !m_Closing;
    if (acquired && m_Active++ == 0) {
        KeClearEvent(&m_Idle);
    }
    KeReleaseSpinLock(&m_Lock, irql);
    return acquired;
}

void RundownGuard::Release()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    if (m_Active > 0 && --m_Active == 0) {
        KeSetEvent(&m_Idle, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&m_Lock, irql);
}

void RundownGuard::Wait()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_Closing = TRUE;
    KeReleaseSpinLock(&m_Lock, irql);
    KeWaitForSingleObject(&m_Idle, Executive, KernelMode, FALSE, nullptr);
}

void RundownGuard::Reopen()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_Closing = FALSE;
    KeReleaseSpinLock(&m_Lock, irql);
}
