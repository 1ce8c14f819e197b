// start, stop and the streaming thread. The kernel driver's completions drive everything: the
// driver has no clock of its own while streaming. With inputs, each completed read of a half is
// one buffer switch and the output half goes out as a queued write; output-only, each completed
// write is one.
#include <cmath>
#include <cstring>

#include "asio/asio_driver.h"
#include "asio/lock_holder.h"
#include "common/trace.h"

namespace {

constexpr DWORD kStopWaitMs = 10000;
constexpr double kTwoTo32 = 4294967296.0;

// A non-negative double as the two 32-bit words ASIO gives 64-bit values in.
void SplitWords(double value, ULONG& hi, ULONG& lo)
{
    const uint64_t whole = uint64_t(value);
    hi = ULONG(whole >> 32);
    lo = ULONG(whole & 0xFFFFFFFFu);
}

}  // namespace

ASIOError CQyxAsioDriver::start()
{
    if (!m_StartStopLockCreated || !AwaitDevicePowerOn(3000)) {
        return Traced(W("start"), ASE_NotPresent);
    }
    CriticalSectionHolder held(m_StartStopLock);
    return Traced(W("start"), StartStreaming(true));
}

ASIOError CQyxAsioDriver::stop()
{
    KillPowerTimers();
    if (!m_StartStopLockCreated || !AwaitDevicePowerOn(3000)) {
        return Traced(W("stop"), ASE_NotPresent);
    }
    CriticalSectionHolder held(m_StartStopLock);
    StopStreaming();
    return ASE_OK;
}

ASIOError CQyxAsioDriver::StartStreaming(bool resetPosition)
{
    const LONG state = m_State;
    if ((state != kStatePrepared && state != kStateSuspended) || m_Callbacks == nullptr || m_RateChangePending != 0 ||
        (m_ActiveInputs.empty() && m_ActiveOutputs.empty())) {
        return ASE_NotPresent;
    }
    m_ChangeEvents.SetStreaming(true);
    if (resetPosition) {
        m_SamplePosition = 0;
        m_CurrentHalf = 0;
    }
    // The stream starts before the thread: its first request must find the stream running.
    if (!m_Channel.StartStream()) {
        m_ChangeEvents.SetStreaming(false);
        return ASE_HWMalfunction;
    }
    m_State = kStateRunning;
    m_StopRequested = 0;
    ResetEvent(m_StopEvent);
    m_StreamingThread = CreateThread(nullptr, 0, StreamingThread, this, 0, nullptr);
    if (m_StreamingThread == nullptr) {
        TraceEvent(W("CQyxAsioDriver: no streaming thread (error %lu)"), GetLastError());
        m_Channel.StopStream();
        m_State = state;
        m_ChangeEvents.SetStreaming(false);
        return ASE_NotPresent;
    }
    return ASE_OK;
}

void CQyxAsioDriver::StopStreaming()
{
    m_StopRequested = 1;
    if (m_State == kStateSuspended) {
        m_State = kStatePrepared;
        return;
    }
    if (m_State != kStateRunning) {
        return;
    }
    m_State = kStatePrepared;
    SetEvent(m_StopEvent);
    if (WaitForSingleObject(m_StreamingThread, kStopWaitMs) != WAIT_OBJECT_0) {
        // A host that never returns from its callback: the thread is given up.
        TraceEvent(W("CQyxAsioDriver: the streaming thread did not end; terminating it"));
        // Termination is asynchronous: the thread must be gone before its buffers may go.
        TerminateThread(m_StreamingThread, 1);
        WaitForSingleObject(m_StreamingThread, kStopWaitMs);
        SendResetRequest(true);
        m_Channel.CancelPending();
    }
    CloseHandle(m_StreamingThread);
    m_StreamingThread = nullptr;
    if (!m_Channel.StopStream()) {
        TraceEvent(W("CQyxAsioDriver: the stream did not stop (error %lu)"), GetLastError());
    }
    m_ChangeEvents.SetStreaming(false);
}

DWORD WINAPI CQyxAsioDriver::StreamingThread(LPVOID parameter)
{
    return static_cast<CQyxAsioDriver*>(parameter)->RunStreamingThread();
}

DWORD CQyxAsioDriver::RunStreamingThread()
{
    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(W("Pro Audio"), &taskIndex);
    if (task == nullptr) {
        TraceEvent(W("CQyxAsioDriver: no MMCSS task (error %lu)"), GetLastError());
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    } else if (!AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH)) {
        TraceEvent(W("CQyxAsioDriver: no MMCSS priority (error %lu)"), GetLastError());
    }
    const DWORD result = m_ActiveInputs.empty() ? OutputLoop() : InputLoop();
    if (task != nullptr) {
        AvRevertMmThreadCharacteristics(task);
    }
    return result;
}

// Waits for the slot's request or the stop event; the queued writes' completion routines run
// meanwhile.
int CQyxAsioDriver::WaitForSlot(TransferSlot& slot)
{
    int result;
    do {
        result = m_Channel.WaitSlot(slot, m_StopEvent);
    } while (result == kSlotIoCompletion);
    return result;
}

DWORD CQyxAsioDriver::InputLoop()
{
    const int first = m_CurrentHalf;
    for (int half : {first, 1 - first}) {
        if (!m_Channel.Read(m_InSlot[half]) && GetLastError() != ERROR_IO_PENDING) {
            SendResetRequest(true);
            m_Channel.CancelPending();
            return 1;
        }
    }
    while (true) {
        const int half = m_CurrentHalf;
        const int waited = WaitForSlot(m_InSlot[half]);
        if (waited == kSlotStopped) {
            m_Channel.CancelPending();
            return 0;
        }
        if (waited != kSlotCompleted) {
            break;
        }
        UnpackInputs(half);
        if (!m_Channel.Read(m_InSlot[half]) && GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        // A failed write only matters to an output-only stream: reads keep the time here.
        RunBufferSwitch(false);
    }
    SendResetRequest(true);
    m_Channel.CancelPending();
    return 1;
}

DWORD CQyxAsioDriver::OutputLoop()
{
    // The first two switches fill and queue both halves before anything is awaited.
    if (RunBufferSwitch(false) && RunBufferSwitch(false)) {
        while (true) {
            const int waited = WaitForSlot(m_OutSlot[m_CurrentHalf]);
            if (waited == kSlotStopped) {
                m_Channel.CancelPending();
                return 0;
            }
            if (waited != kSlotCompleted || !RunBufferSwitch(false)) {
                break;
            }
        }
    }
    SendResetRequest(true);
    m_Channel.CancelPending();
    return 1;
}

void CQyxAsioDriver::UnpackInputs(int half)
{
    const size_t sample = m_BytesPerSample;
    const size_t frameBytes = sample * m_Inputs;
    for (size_t k = 0; k < m_ActiveInputs.size(); ++k) {
        const BYTE* source = m_InSlot[half].buffer + size_t(m_ActiveInputs[k]) * sample;
        BYTE* destination = m_InputHalves[half][k];
        for (DWORD frame = 0; frame < m_BufferFrames; ++frame) {
            std::memcpy(destination, source, sample);
            source += frameBytes;
            destination += sample;
        }
    }
}

void CQyxAsioDriver::PackOutputs(int half)
{
    const size_t sample = m_BytesPerSample;
    const size_t frameBytes = sample * m_Outputs;
    for (size_t k = 0; k < m_ActiveOutputs.size(); ++k) {
        const BYTE* source = m_OutputHalves[half][k];
        BYTE* destination = m_OutSlot[half].buffer + size_t(m_ActiveOutputs[k]) * sample;
        for (DWORD frame = 0; frame < m_BufferFrames; ++frame) {
            std::memcpy(destination, source, sample);
            source += sample;
            destination += frameBytes;
        }
    }
}

void CQyxAsioDriver::WriteOutputHalf()
{
    PackOutputs(m_CurrentHalf);
    if (!m_Channel.Write(m_OutSlot[m_CurrentHalf]) && GetLastError() != ERROR_IO_PENDING) {
        TraceEvent(W("CQyxAsioDriver: a write failed (error %lu)"), GetLastError());
        m_Failed = 1;
    }
}

void CQyxAsioDriver::GetTimeStamp(ASIOTimeStamp& stamp) const
{
    SplitWords(double(timeGetTime()) * 1000000.0, stamp.hi, stamp.lo);
}

bool CQyxAsioDriver::RunBufferSwitch(bool skipOutput)
{
    GetTimeStamp(m_LastTimeStamp);
    m_OutputReadyCalled = 0;
    // Counted before the host is called: its first callback already sees one buffer.
    m_SamplePosition += m_HostBufferSize;
    if (m_TimeInfoMode != 0) {
        getSamplePosition(&m_AsioTime.timeInfo.samplePosition, &m_AsioTime.timeInfo.systemTime);
        if (m_TimeCodeEnabled != 0) {
            // Time code starts ten minutes in; it wraps like the 32-bit word it travels in.
            ULONG unused = 0;
            SplitWords(std::fmod(m_CurrentRate * 600.0 + m_AsioTime.timeInfo.samplePosition.lo, kTwoTo32), unused,
                       m_AsioTime.timeCode.timeCodeSamples.lo);
            m_AsioTime.timeCode.timeCodeSamples.hi = 0;
        }
        m_Callbacks->bufferSwitchTimeInfo(&m_AsioTime, m_CurrentHalf, ASIOTrue);
        m_AsioTime.timeInfo.flags &= ~ULONG(kSampleRateChanged | kClockSourceChanged);
    } else {
        // stop() has begun: the host must not be called any more.
        if (m_StopRequested != 0) {
            m_Failed = 1;
            return false;
        }
        m_Callbacks->bufferSwitch(m_CurrentHalf, ASIOTrue);
    }
    if (m_ActiveOutputs.empty() || skipOutput) {
        m_CurrentHalf = 1 - m_CurrentHalf;
    } else if (m_UsesOutputReady == 0) {
        // The half the host filled in the previous switch goes out now.
        m_CurrentHalf = 1 - m_CurrentHalf;
        WriteOutputHalf();
    } else {
        if (m_OutputReadyCalled == 0) {
            WriteOutputHalf();
        }
        m_CurrentHalf = 1 - m_CurrentHalf;
    }
    return m_Failed == 0;
}

ASIOError CQyxAsioDriver::outputReady()
{
    if (m_State == kStateRunning) {
        m_UsesOutputReady = 1;
        m_OutputReadyCalled = 1;
        WriteOutputHalf();
    }
    return ASE_OK;
}

ASIOError CQyxAsioDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    if (m_State == kStateLoaded) {
        return ASE_NotPresent;
    }
    if (sPos == nullptr || tStamp == nullptr) {
        return ASE_InvalidParameter;
    }
    *tStamp = m_LastTimeStamp;
    SplitWords(m_SamplePosition, sPos->hi, sPos->lo);
    return ASE_OK;
}
