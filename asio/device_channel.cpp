#include "asio/device_channel.h"

#include <cstring>

#include "asio/lock_holder.h"
#include "common/control_codes.h"
#include "common/trace.h"

namespace {

void IgnoreCompletion(DWORD, DWORD, LPOVERLAPPED) { }

}  // namespace

CDeviceChannel::CDeviceChannel() : m_Handle(INVALID_HANDLE_VALUE), m_ControlEvent(nullptr), m_ControlOverlapped{}
{
    InitializeCriticalSection(&m_Lock);
}

CDeviceChannel::~CDeviceChannel()
{
    Close();
    DeleteCriticalSection(&m_Lock);
}

bool CDeviceChannel::Open(const WCHAR* path)
{
    Close();
    HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        TraceEvent(W("CDeviceChannel::Open: cannot open %ls (error %lu)"), path, GetLastError());
        return false;
    }
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (event == nullptr) {
        TraceEvent(W("CDeviceChannel::Open: no control event (error %lu)"), GetLastError());
        CloseHandle(handle);
        return false;
    }
    m_Handle = handle;
    m_ControlEvent = event;
    return true;
}

void CDeviceChannel::Close()
{
    if (!IsOpen()) {
        return;
    }
    CloseHandle(m_Handle);
    m_Handle = INVALID_HANDLE_VALUE;
    CloseHandle(m_ControlEvent);
    m_ControlEvent = nullptr;
}

bool CDeviceChannel::Control(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
                             DWORD* bytesReturned)
{
    CriticalSectionHolder held(m_Lock);
    m_ControlOverlapped = OVERLAPPED{};
    m_ControlOverlapped.hEvent = m_ControlEvent;
    DWORD returned = 0;
    DWORD* count = bytesReturned != nullptr ? bytesReturned : &returned;
    if (!DeviceIoControl(m_Handle, code, const_cast<void*>(input), inputLength, output, outputLength, count,
                         &m_ControlOverlapped)) {
        const DWORD error = GetLastError();
        TraceEvent(W("CDeviceChannel: request 0x%lX failed (error %lu)"), code, error);
        if (error == ERROR_IO_PENDING) {
            // Counted as failed, but the request must not outlive the control record and the
            // caller's buffers it points at: cancel it and let it finish before they are reused.
            CancelIo(m_Handle);
            GetOverlappedResult(m_Handle, &m_ControlOverlapped, count, TRUE);
        }
        return false;
    }
    if (!GetOverlappedResult(m_Handle, &m_ControlOverlapped, count, TRUE)) {
        TraceEvent(W("CDeviceChannel: request 0x%lX finished with error %lu"), code, GetLastError());
        return false;
    }
    return true;
}

bool CDeviceChannel::Claim() { return Control(asiocontrol::kClaim, nullptr, 0, nullptr, 0, nullptr); }

bool CDeviceChannel::Prepare(DWORD bufferFrames, DWORD wantInput, DWORD wantOutput, DWORD bufferPercent, WORD mode)
{
    // Packed little-endian, as the kernel driver reads it.
    BYTE record[asiocontrol::kOpenRecordBytes];
    std::memcpy(record + 0, &bufferFrames, 4);
    std::memcpy(record + 4, &wantInput, 4);
    std::memcpy(record + 8, &wantOutput, 4);
    std::memcpy(record + 12, &bufferPercent, 4);
    std::memcpy(record + 16, &mode, 2);
    return Control(asiocontrol::kPrepare, record, sizeof record, nullptr, 0, nullptr);
}

bool CDeviceChannel::StartStream() { return Control(asiocontrol::kStartStream, nullptr, 0, nullptr, 0, nullptr); }

bool CDeviceChannel::StopStream() { return Control(asiocontrol::kStopStream, nullptr, 0, nullptr, 0, nullptr); }

bool CDeviceChannel::Unprepare() { return Control(asiocontrol::kUnprepare, nullptr, 0, nullptr, 0, nullptr); }

bool CDeviceChannel::ReleaseClaim() { return Control(asiocontrol::kReleaseClaim, nullptr, 0, nullptr, 0, nullptr); }

bool CDeviceChannel::SetRate(DWORD rate, DWORD* answer)
{
    return Control(r9control::kSetRate, &rate, sizeof rate, answer, answer != nullptr ? sizeof *answer : 0, nullptr);
}

bool CDeviceChannel::QueryLatency(DWORD* value)
{
    DWORD returned = 0;
    return Control(asiocontrol::kQueryLatency, nullptr, 0, value, sizeof *value, &returned) && returned >= sizeof *value;
}

BOOL CDeviceChannel::Read(TransferSlot& slot)
{
    return ReadFile(m_Handle, slot.buffer, slot.size, &slot.bytesTransferred, &slot.overlapped);
}

BOOL CDeviceChannel::Write(TransferSlot& slot)
{
    if (slot.overlapped.hEvent != nullptr) {
        return WriteFile(m_Handle, slot.buffer, slot.size, &slot.bytesTransferred, &slot.overlapped);
    }
    return WriteFileEx(m_Handle, slot.buffer, slot.size, &slot.overlapped, IgnoreCompletion);
}

int CDeviceChannel::WaitSlot(TransferSlot& slot, HANDLE stopEvent)
{
    const HANDLE handles[2] = {slot.overlapped.hEvent, stopEvent};
    const DWORD result = WaitForMultipleObjectsEx(2, handles, FALSE, INFINITE, TRUE);
    switch (result) {
    case WAIT_OBJECT_0:
        return GetOverlappedResult(m_Handle, &slot.overlapped, &slot.bytesTransferred, TRUE) ? kSlotCompleted
                                                                                              : kSlotFailed;
    case WAIT_OBJECT_0 + 1:
        return kSlotStopped;
    case WAIT_IO_COMPLETION:
        return kSlotIoCompletion;
    case WAIT_FAILED:
        return kSlotFailed;
    default:
        return int(result);
    }
}

void CDeviceChannel::CancelPending() { CancelIo(m_Handle); }

BOOL CDeviceChannel::GetPowerState(BOOL* on) { return GetDevicePowerState(m_Handle, on); }
