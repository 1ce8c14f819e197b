// The position clock of a wave stream: where in its cyclic buffer the stream is now. The stream
// engine reports each request's bytes and how long the request lasts; between two reports the
// position moves linearly from where it was read last towards the bytes reported so far (the
// target), reaching it when the request's time is up and never passing it. So the audio stack
// sees a position that advances smoothly at the stream's rate although the device moves audio in
// requests of several milliseconds.
//
// IRQL: <= DISPATCH_LEVEL for every method; the clock has its own spin lock.
#pragma once

#include "platform/kernel.h"

class PositionClock {
public:
    PositionClock();
    PositionClock(const PositionClock&) = delete;
    PositionClock& operator=(const PositionClock&) = delete;

    // Position, target and times cleared over a buffer of `bufferSize` bytes; the next step starts
    // the clock afresh.
    void Initialize(ULONG bufferSize);
    // The next step starts from the target: the position stands where the reports have reached.
    void Restart();
    // A request of `bytes` lasting `durationMs`.
    void Step(ULONG bytes, ULONG durationMs);
    // The position now, as an offset in the buffer.
    ULONG Read();
    // Milliseconds since the clock last started.
    ULONG_PTR ElapsedMs();

private:
    LONGLONG Now() const;

    KSPIN_LOCK m_Lock;
    ULONG m_BufferSize;
    LONGLONG m_Frequency;
    // Bytes since the buffer start; both are brought back below the buffer size together.
    ULONGLONG m_Position;
    ULONGLONG m_Target;
    LONGLONG m_LastUpdate;  // performance-counter time of m_Position
    LONGLONG m_Expected;    // when the target is reached
    LONGLONG m_Start;
    ULONG m_StepMs;
    BOOLEAN m_Restart;
};
