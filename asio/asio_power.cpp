// System suspend and resume, on the window thread. A running stream is stopped before the system
// sleeps; meanwhile a timer keeps calling the host at the buffer period (a host that gets time
// info sees its position advance), and on resume the stream starts again where it was, once the
// device is back on.
#include "asio/asio_driver.h"
#include "asio/lock_holder.h"
#include "common/trace.h"

namespace {

constexpr UINT_PTR kResumeRetryTimer = 1;
constexpr UINT_PTR kKeepAliveTimer = 2;
constexpr UINT kResumeRetryMs = 100;
constexpr LONG kResumeTries = 10;

}  // namespace

void CQyxAsioDriver::KillPowerTimers()
{
    if (m_Window != nullptr) {
        KillTimer(m_Window, kKeepAliveTimer);
        KillTimer(m_Window, kResumeRetryTimer);
    }
}

LRESULT CQyxAsioDriver::OnWindowMessage(UINT message, WPARAM wParam)
{
    switch (message) {
    case WM_TIMER:
        if (wParam == kResumeRetryTimer) {
            OnResume();
        } else if (wParam == kKeepAliveTimer) {
            OnKeepAliveTick();
        }
        return 0;
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMSUSPEND) {
            OnSuspend();
        } else if (wParam == PBT_APMRESUMEAUTOMATIC) {
            OnResume();
        }
        return 0;
    default:
        return 0;
    }
}

void CQyxAsioDriver::OnSuspend()
{
    if (m_ResumeTries != 0) {
        KillTimer(m_Window, kResumeRetryTimer);
    }
    CriticalSectionHolder held(m_StartStopLock);
    m_ResumeTries = 0;
    if (m_State != kStateRunning) {
        return;
    }
    // The stop request reaches the device before it sleeps.
    StopStreaming();
    m_State = kStateSuspended;
    if (m_CurrentRate != 0 && m_HostBufferSize != 0) {
        const UINT period = UINT((m_HostBufferSize * 1000 + m_CurrentRate - 1) / m_CurrentRate);
        SetTimer(m_Window, kKeepAliveTimer, period, nullptr);
    }
}

void CQyxAsioDriver::OnKeepAliveTick()
{
    // Only while suspended: a tick already on its way when the host stops, or stops and disposes
    // of its buffers, must not call the host or touch the buffers.
    CriticalSectionHolder held(m_StartStopLock);
    if (m_State == kStateSuspended) {
        RunBufferSwitch(true);
    }
}

void CQyxAsioDriver::OnResume()
{
    CriticalSectionHolder held(m_StartStopLock);
    if (m_State != kStateSuspended) {
        KillPowerTimers();
        m_ResumeTries = 0;
        return;
    }
    if (m_ResumeTries != 0) {
        KillTimer(m_Window, kResumeRetryTimer);
    }
    BOOL on = FALSE;
    if (!m_Channel.GetPowerState(&on)) {
        TraceEvent(W("CQyxAsioDriver: no device power state on resume (error %lu)"), GetLastError());
        KillTimer(m_Window, kKeepAliveTimer);
        SendResetRequest(true);
        m_ResumeTries = 0;
        return;
    }
    if (!on) {
        if (++m_ResumeTries < kResumeTries) {
            SetTimer(m_Window, kResumeRetryTimer, kResumeRetryMs, nullptr);
            return;
        }
        TraceEvent(W("CQyxAsioDriver: the device did not come back after resume"));
        KillTimer(m_Window, kKeepAliveTimer);
        SendResetRequest(true);
        m_ResumeTries = 0;
        return;
    }
    KillTimer(m_Window, kKeepAliveTimer);
    // The position and the half go on from where the suspend left them.
    if (StartStreaming(false) != ASE_OK) {
        SendResetRequest(true);
    }
    m_ResumeTries = 0;
}
