#include "driver/miniport/position_clock.h"

namespace {

constexpr LONGLONG kMillisecondsPerSecond = 1000;
// Keeps the interpolation's product within 64 bits: the byte span of a step stays far below 2^24.
constexpr LONGLONG kLargestTimeSpan = LONGLONG(1) << 38;

}  // namespace

LONGLONG PositionClock::Now() const { return KeQueryPerformanceCounter(nullptr).QuadPart; }

PositionClock::PositionClock()
    : m_BufferSize(0), m_Frequency(0), m_Position(0), m_Target(0), m_LastUpdate(0), m_Expected(0), m_Start(0),
      m_StepMs(0), m_Restart(TRUE)
{
    KeInitializeSpinLock(&m_Lock);
}

void PositionClock::Initialize(ULONG bufferSize)
{
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_BufferSize = bufferSize;
    m_Frequency = frequency.QuadPart;
    m_Position = 0;
    m_Target = 0;
    m_LastUpdate = 0;
    m_Expected = 0;
    m_Start = 0;
    m_StepMs = 0;
    m_Restart = TRUE;
    KeReleaseSpinLock(&m_Lock, irql);
}

void PositionClock::Restart()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_Restart = TRUE;
    KeReleaseSpinLock(&m_Lock, irql);
}

void PositionClock::Step(ULONG bytes, ULONG durationMs)
{
    const LONGLONG now = Now();
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    if (m_Restart) {
        m_Restart = FALSE;
        m_Position = m_Target;
        m_LastUpdate = now;
        m_Start = now;
        m_StepMs = durationMs;
    }
    m_Target += bytes;
    m_Expected = now + LONGLONG(m_StepMs) * m_Frequency / kMillisecondsPerSecond;
    KeReleaseSpinLock(&m_Lock, irql);
}

ULONG PositionClock::Read()
{
    const LONGLONG now = Now();
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    if (m_BufferSize == 0) {
        KeReleaseSpinLock(&m_Lock, irql);
        return 0;
    }
    while (m_Position >= m_BufferSize) {
        m_Position -= m_BufferSize;
        m_Target -= m_BufferSize;
    }
    if (m_LastUpdate < now) {
        ULONGLONG position = m_Target;
        if (now < m_Expected && m_Expected != m_LastUpdate) {
            LONGLONG span = m_Expected - m_LastUpdate;
            LONGLONG elapsed = now - m_LastUpdate;
            while (span > kLargestTimeSpan) {
                span >>= 1;
                elapsed >>= 1;
            }
            position = m_Position + (m_Target - m_Position) * ULONGLONG(elapsed) / ULONGLONG(span);
        }
        // Stored whether or not the target was reached, so that a later step interpolates from
        // what was reported last: the position never goes back.
        m_Position = position;
        m_LastUpdate = now;
    }
    const ULONG result = ULONG(m_Position % m_BufferSize);
    KeReleaseSpinLock(&m_Lock, irql);
    return result;
}

ULONG_PTR PositionClock::ElapsedMs()
{
    const LONGLONG now = Now();
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    const LONGLONG elapsed = m_Frequency == 0 ? 0 : (now - m_Start) * kMillisecondsPerSecond / m_Frequency;
    KeReleaseSpinLock(&m_Lock, irql);
    return ULONG_PTR(elapsed);
}
