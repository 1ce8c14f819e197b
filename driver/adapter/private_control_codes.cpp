// The I/O control codes of the private interface: device rate and formats, DSD support, the
// ownership of the device, the ASIO stream's sequence and the capture request length. All are
// buffered, so input and output share the system buffer; every request completes synchronously.
#include "driver/adapter/asio_handle.h"
#include "driver/driver_tuning.h"
#include "driver/mutex_holder.h"
#include "driver/registry/registry_access.h"
#include "driver/trace.h"

namespace {

constexpr USHORT kModeNativeDsd = 1;
constexpr ULONG kAnyState = 0xFFFFFFFF;

struct ControlRequest {
    UsbAudioAdapter& adapter;
    PULONG buffer;
    ULONG inLength;
    ULONG outLength;
    ULONG_PTR information;
};

typedef NTSTATUS (*ControlHandler)(ControlRequest& request);

NTSTATUS GetRateRange(ControlRequest& request)
{
    const NTSTATUS status = request.adapter.GetSampleRateRange(&request.buffer[0], &request.buffer[1]);
    request.information = NT_SUCCESS(status) ? 2 * sizeof(ULONG) : 0;
    return status;
}

// A missing direction reports 0 channels and 0 bits.
NTSTATUS GetRateFormats(ControlRequest& request)
{
    const ULONG rate = request.buffer[0];
    CUSBAudioCL& usbAudio = request.adapter.UsbAudio();
    NTSTATUS status = usbAudio.IsSampleRateSupported(rate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG formats[2 * kDirectionCount] = {};
    for (StreamDirection direction = kDirectionOut; direction < kDirectionCount; ++direction) {
        if (!request.adapter.HasDirection(direction)) {
            continue;
        }
        status = usbAudio.GetStreamFormat(direction, WAVE_FORMAT_PCM, rate, &formats[2 * direction],
                                          &formats[2 * direction + 1]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    RtlCopyMemory(&request.buffer[1], formats, sizeof formats);
    request.information = sizeof(ULONG) + sizeof formats;
    return STATUS_SUCCESS;
}

NTSTATUS GetRate(ControlRequest& request)
{
    const NTSTATUS status = request.adapter.GetSampleRate(&request.buffer[0]);
    request.information = NT_SUCCESS(status) ? sizeof(ULONG) : 0;
    return status;
}

// A device without a rate (none could be determined at start) takes the rate as pending, for the
// next start of a direction; the filter is registered only with a real rate.
NTSTATUS SetRate(ControlRequest& request)
{
    const ULONG rate = request.buffer[0];
    ULONG reregistered = 0;
    ULONG current = 0;
    NTSTATUS status = request.adapter.GetSampleRate(&current);
    if (NT_SUCCESS(status) && current != 0) {
        status = request.adapter.SetSampleRate(rate, &reregistered);
    } else if (NT_SUCCESS(status)) {
        request.adapter.Engine().Asio().Stop();
        status = request.adapter.UsbAudio().IsSampleRateSupported(rate);
        if (NT_SUCCESS(status)) {
            request.adapter.SetPendingRate(rate);
        }
    }
    if (request.outLength >= sizeof(ULONG)) {
        request.buffer[0] = reregistered;
        request.information = sizeof(ULONG);
    }
    return status;
}

NTSTATUS GetDsdSupport(ControlRequest& request)
{
    request.buffer[0] = request.adapter.IsDsdSupported();
    request.information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS TakeOwnership(ControlRequest& request)
{
    return request.adapter.CompareExchangeOwner(1, 0) == 0 ? STATUS_SUCCESS : STATUS_DEVICE_BUSY;
}

// The checks run before anything is reserved, so a refused open leaves the device as it was.
NTSTATUS OpenStream(ControlRequest& request)
{
    AsioOpenRecord record;
    RtlCopyMemory(&record, request.buffer, sizeof record);
    if (record.bufferFrames == 0 || record.bufferFrames > kMaximumAsioBufferFrames) {
        return STATUS_INVALID_PARAMETER;
    }
    if (record.wantInput != 0 && !request.adapter.HasDirection(kDirectionIn)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (record.wantInput == 0 && record.wantOutput == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (record.wantOutput != 0 && !request.adapter.HasDirection(kDirectionOut)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (record.mode == kModeNativeDsd && request.adapter.IsDsdSupported() == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const AsioStreamRequest stream{record.bufferFrames, record.wantInput != 0, record.wantOutput != 0,
                                   record.bufferPercent, record.mode};
    return request.adapter.Engine().Asio().Open(stream);
}

NTSTATUS StartStream(ControlRequest& request) { return request.adapter.Engine().Asio().Start(); }

// Stop and close always succeed: whatever is left is undone.
NTSTATUS StopStream(ControlRequest& request)
{
    request.adapter.Engine().Asio().Stop();
    return STATUS_SUCCESS;
}

NTSTATUS CloseStream(ControlRequest& request)
{
    request.adapter.Engine().Asio().Close();
    return STATUS_SUCCESS;
}

NTSTATUS ReleaseOwnership(ControlRequest& request)
{
    GiveUpOwnership(request.adapter);
    return STATUS_SUCCESS;
}

NTSTATUS GetCaptureRequestLength(ControlRequest& request)
{
    request.buffer[0] = g_DriverTuning.inPacketsPerRequest;
    request.information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS GetStoredCaptureRequestLength(ControlRequest& request)
{
    const NTSTATUS status =
        ReadDeviceDword(request.adapter.PhysicalDeviceObject(), W("IN URB Size"), &request.buffer[0]);
    request.information = NT_SUCCESS(status) ? sizeof(ULONG) : 0;
    return status;
}

// The capture requests in use were sized at device start; the new length waits for the next one.
NTSTATUS StoreCaptureRequestLength(ControlRequest& request)
{
    return WriteDeviceDword(request.adapter.PhysicalDeviceObject(), W("IN URB Size"), request.buffer[0]);
}

struct ControlCode {
    ULONG code;
    ULONG minimumIn;
    ULONG minimumOut;
    ULONG requiredState;  // kAnyState: any
    ULONG nextState;      // kAnyState: unchanged
    ControlHandler handler;
};

const ControlCode kControlCodes[] = {
    {0x222000, 0, 8, kAnyState, kAnyState, GetRateRange},
    {0x222004, 20, 20, kAnyState, kAnyState, GetRateFormats},
    {0x222008, 0, 4, kAnyState, kAnyState, GetRate},
    {0x22200C, 4, 0, kAnyState, kAnyState, SetRate},
    {0x222010, 0, 4, kAnyState, kAnyState, GetDsdSupport},
    {0x222018, 0, 0, kHandleOpen, kHandleOwner, TakeOwnership},
    {0x22201C, sizeof(AsioOpenRecord), 0, kHandleOwner, kHandlePrepared, OpenStream},
    {0x222020, 0, 0, kHandlePrepared, kHandleRunning, StartStream},
    {0x222024, 0, 0, kHandleRunning, kHandlePrepared, StopStream},
    {0x222028, 0, 0, kHandlePrepared, kHandleOwner, CloseStream},
    {0x22202C, 0, 0, kHandleOwner, kHandleOpen, ReleaseOwnership},
    {0x222030, 0, 4, kAnyState, kAnyState, GetCaptureRequestLength},
    {0x222034, 0, 4, kAnyState, kAnyState, GetStoredCaptureRequestLength},
    {0x222038, 4, 0, kAnyState, kAnyState, StoreCaptureRequestLength},
};

const ControlCode* FindControlCode(ULONG code)
{
    for (const ControlCode& entry : kControlCodes) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

// The state is checked before the lengths: a request out of sequence fails the same way whatever
// its buffers.
NTSTATUS RunControlCode(AsioHandleContext& context, const ControlCode& entry, ControlRequest& request)
{
    if (entry.requiredState != kAnyState && context.state != entry.requiredState) {
        return STATUS_UNSUCCESSFUL;
    }
    if (request.inLength < entry.minimumIn || request.outLength < entry.minimumOut) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status = entry.handler(request);
    if (NT_SUCCESS(status) && entry.nextState != kAnyState) {
        context.state = entry.nextState;
    }
    return status;
}

}  // namespace

NTSTATUS HandleAsioControl(AsioHandleContext* context, PIRP irp)
{
    PAGED_CODE();
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    UsbAudioAdapter& adapter = HandleAdapter(*context);
    if (!adapter.Rundown().Acquire()) {
        return STATUS_DELETE_PENDING;
    }
    ControlRequest request{adapter, static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer),
                           stack->Parameters.DeviceIoControl.InputBufferLength,
                           stack->Parameters.DeviceIoControl.OutputBufferLength, 0};
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    const ControlCode* entry = FindControlCode(code);
    if (entry == nullptr) {
        R9_TRACE("HandleAsioControl: unknown code 0x%08X\n", unsigned(code));
    } else {
        MutexHolder asio(adapter.AsioMutex());
        status = RunControlCode(*context, *entry, request);
    }
    adapter.Rundown().Release();
    irp->IoStatus.Information = request.information;
    return status;
}
