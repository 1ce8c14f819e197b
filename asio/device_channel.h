// The ASIO driver's one long-lived overlapped connection to the kernel driver's private "\asio"
// interface of the selected device. It carries the claim on the device (the claim lasts as long
// as the handle), the control requests and every streaming read and write. Unlike the device
// access library, which opens a fresh handle per query, this handle stays open while the driver
// object is initialised.
#pragma once

#include "platform/user.h"

// One transfer buffer and its request record; the streaming code owns them, the channel only
// issues and collects requests on them.
struct TransferSlot {
    DWORD size;
    BYTE* buffer;
    OVERLAPPED overlapped;
    DWORD bytesTransferred;
};

// Results of WaitSlot.
enum SlotWaitResult : int {
    kSlotCompleted = 0,
    kSlotStopped = 1,
    kSlotIoCompletion = WAIT_IO_COMPLETION,  // a queued write's completion routine ran
    kSlotFailed = -1,
};

// The kernel driver's private control codes that only the ASIO driver sends (the rate request is
// the library's, common/control_codes.h).
namespace asiocontrol {
constexpr DWORD kClaim = 0x222018;
constexpr DWORD kPrepare = 0x22201C;
constexpr DWORD kStartStream = 0x222020;
constexpr DWORD kStopStream = 0x222024;
constexpr DWORD kUnprepare = 0x222028;
constexpr DWORD kReleaseClaim = 0x22202C;
constexpr DWORD kQueryLatency = 0x222030;
constexpr DWORD kOpenRecordBytes = 18;
}  // namespace asiocontrol

class CDeviceChannel {
public:
    CDeviceChannel();
    ~CDeviceChannel();
    CDeviceChannel(const CDeviceChannel&) = delete;
    CDeviceChannel& operator=(const CDeviceChannel&) = delete;

    // Closes any earlier handle, then opens `path` for overlapped I/O with the control event.
    bool Open(const WCHAR* path);
    void Close();
    bool IsOpen() const { return m_Handle != INVALID_HANDLE_VALUE; }

    // One control request, finished before it returns. The kernel driver completes every control
    // request at once, so one it leaves pending is a fault: it counts as failed and its result is
    // never collected.
    bool Control(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
                 DWORD* bytesReturned);

    bool Claim();
    bool Prepare(DWORD bufferFrames, DWORD wantInput, DWORD wantOutput, DWORD bufferPercent, WORD mode);
    bool StartStream();
    bool StopStream();
    bool Unprepare();
    bool ReleaseClaim();
    // `answer` may be null: the request then has no output buffer.
    bool SetRate(DWORD rate, DWORD* answer);
    bool QueryLatency(DWORD* value);

    // Streaming, from the streaming thread only: what ReadFile / WriteFile(Ex) returned.
    BOOL Read(TransferSlot& slot);
    // With an event in the slot a plain overlapped write; without one a write whose completion is
    // a queued routine that does nothing, so no event is needed for the direction that does not
    // time the stream.
    BOOL Write(TransferSlot& slot);
    // Waits alertably for the slot's request or the stop event.
    int WaitSlot(TransferSlot& slot, HANDLE stopEvent);
    void CancelPending();
    BOOL GetPowerState(BOOL* on);

private:
    HANDLE m_Handle;
    HANDLE m_ControlEvent;
    OVERLAPPED m_ControlOverlapped;
    CRITICAL_SECTION m_Lock;
};
