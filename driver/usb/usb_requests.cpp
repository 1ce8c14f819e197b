// Synchronous requests to the USB stack: URBs, class and vendor control requests, pipe abort and
// reset, and the port cycle. All of them wait for the stack, so all run at PASSIVE_LEVEL.
#include "driver/trace.h"
#include "driver/usb/usb_device.h"

namespace {

constexpr UCHAR kStandardType = 0;
constexpr UCHAR kClassType = 1;
constexpr UCHAR kVendorType = 2;
constexpr UCHAR kHighestRecipient = 3;

// URB function by recipient (device, interface, endpoint, other).
constexpr USHORT kClassFunctions[] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                      URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};
constexpr USHORT kVendorFunctions[] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                       URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};

}  // namespace

// Sends an IRP built with IoBuildDeviceIoControlRequest and waits for it: the I/O manager
// signals `event` and fills `ioStatus` when the stack completes it, and frees it.
NTSTATUS CUSBCL::CallLowerSynchronously(PDEVICE_OBJECT target, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK ioStatus)
{
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus->Status;
    }
    return status;
}

NTSTATUS CUSBCL::SendInternalRequest(ULONG ioControlCode, PVOID argument1, PVOID argument2, NTSTATUS buildFailure)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, m_LowerDevice, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &ioStatus);
    if (irp == nullptr) {
        R9_TRACE("CUSBCL: request 0x%08X not built\n", unsigned(ioControlCode));
        return buildFailure;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Others.Argument1 = argument1;
    stack->Parameters.Others.Argument2 = argument2;
    return CallLowerSynchronously(m_LowerDevice, irp, &event, &ioStatus);
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBCL::SubmitUrb(PURB urb)
{
    PAGED_CODE();
    const NTSTATUS status =
        SendInternalRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, nullptr, STATUS_INSUFFICIENT_RESOURCES);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBCL::SubmitUrb: function 0x%04X failed 0x%08X, URB status 0x%08X\n",
                 unsigned(urb->UrbHeader.Function), unsigned(status), unsigned(urb->UrbHeader.Status));
    }
    return status;
}

// IRQL: PASSIVE_LEVEL. Standard requests belong to the USB stack, which has its own URB functions
// for them; they never reach the device from here.
NTSTATUS CUSBCL::SendControlRequest(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex,
                                    USHORT wLength, PVOID buffer)
{
    PAGED_CODE();
    const UCHAR type = (bmRequestType >> 5) & 0x03;
    const UCHAR recipient = bmRequestType & 0x1F;
    if (type == kStandardType || type > kVendorType || recipient > kHighestRecipient ||
        (wLength > 0 && buffer == nullptr)) {
        R9_TRACE("CUSBCL::SendControlRequest: refused bmRequestType 0x%02X, wLength %u\n", unsigned(bmRequestType),
                 unsigned(wLength));
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT function = type == kClassType ? kClassFunctions[recipient] : kVendorFunctions[recipient];
    const ULONG flags = (bmRequestType & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN : 0;

    URB urb;
    RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, bRequest,
                          wValue, wIndex, buffer, nullptr, wLength, nullptr);
    return SubmitUrb(&urb);
}

NTSTATUS CUSBCL::PipeRequest(USHORT function, PUSBD_PIPE_INFORMATION pipe)
{
    if (pipe == nullptr || pipe->PipeHandle == nullptr) {
        R9_TRACE("CUSBCL: pipe request 0x%04X without a pipe\n", unsigned(function));
        return STATUS_INVALID_PARAMETER;
    }
    // The stack finishes a pipe request only after every transfer on the pipe has come back,
    // so waiting for it is only possible at PASSIVE_LEVEL.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        R9_TRACE("CUSBCL: pipe request 0x%04X at IRQL %u\n", unsigned(function), unsigned(KeGetCurrentIrql()));
        return STATUS_UNSUCCESSFUL;
    }
    URB urb;
    RtlZeroMemory(&urb, sizeof(struct _URB_PIPE_REQUEST));
    urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    return SubmitUrb(&urb);
}

// IRQL: PASSIVE_LEVEL; refused above it.
NTSTATUS CUSBCL::AbortPipe(PUSBD_PIPE_INFORMATION pipe) { return PipeRequest(URB_FUNCTION_ABORT_PIPE, pipe); }

// IRQL: PASSIVE_LEVEL; refused above it.
NTSTATUS CUSBCL::ResetPipe(PUSBD_PIPE_INFORMATION pipe)
{
    return PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe);
}

// IRQL: PASSIVE_LEVEL. The device leaves and re-enters the bus; Plug and Play starts it again.
NTSTATUS CUSBCL::CyclePort()
{
    PAGED_CODE();
    const NTSTATUS status = SendInternalRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr, nullptr, STATUS_UNSUCCESSFUL);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBCL::CyclePort: failed 0x%08X\n", unsigned(status));
    }
    return status;
}
