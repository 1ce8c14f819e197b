#include "sim/usb/usb_hub.h"

#include <cstring>

#include "sim/kernel/pool.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/usbd_status.h"

namespace sim::usb {

namespace {

// The stack reads and completes a URB at DISPATCH_LEVEL, and without an MDL it reaches the transfer
// buffer directly, also from its DPC: both must be resident. Every transfer URB keeps its buffer
// where _URB_CONTROL_TRANSFER does.
void RequireResidentUrb(PURB urb)
{
    constexpr const char* kCall = "IOCTL_INTERNAL_USB_SUBMIT_URB";
    if (urb == nullptr) {
        return;
    }
    RequireResident(urb, "URB", kCall);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        return;
    default:
        break;
    }
    const struct _URB_CONTROL_TRANSFER& transfer = urb->UrbControlTransfer;
    if (transfer.TransferBufferMDL == nullptr && transfer.TransferBuffer != nullptr) {
        RequireResident(transfer.TransferBuffer, "URB transfer buffer", kCall);
    }
}

}  // namespace

NTSTATUS UsbHub::Dispatch(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return InternalDeviceControl(pdo, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_PNP:
        status = Pnp(pdo, irp);
        break;
    case IRP_MJ_POWER:
        status = stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER
                     ? STATUS_SUCCESS
                     : irp->IoStatus.Status;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbHub::InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BusDevice& device = *controller_.DeviceOf(pdo);
    NTSTATUS status;
    irp->IoStatus.Information = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        RequireResidentUrb(static_cast<PURB>(stack->Parameters.Others.Argument1));
        status = controller_.SubmitUrb(device, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        if (status == STATUS_PENDING) {
            return status;
        }
        break;
    case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME:
        status = ControllerName(irp);
        break;
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        if (device.Connected()) {
            controller_.CyclePort(device);
            status = STATUS_SUCCESS;
        } else {
            status = kStatusDeviceNotConnected;
        }
        break;
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (portStatus == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        *portStatus = device.Connected() ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
        status = STATUS_SUCCESS;
        break;
    }
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Argument1 is a USB_HUB_NAME buffer of Argument2 bytes. The hub fills as much of the name as fits
// and always reports in ActualLength the bytes the whole name needs (with its terminating null),
// so a caller can ask once with the bare structure and again with the right size.
NTSTATUS UsbHub::ControllerName(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* name = static_cast<uint8_t*>(stack->Parameters.Others.Argument1);
    const ULONG length = ULONG(reinterpret_cast<ULONG_PTR>(stack->Parameters.Others.Argument2));
    if (name == nullptr || length < sizeof(USB_HUB_NAME)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const std::u16string& text = controller_.ControllerName();
    const ULONG nameBytes = ULONG(text.size() * sizeof(char16_t));
    const ULONG actualLength = ULONG(sizeof(ULONG)) + nameBytes + ULONG(sizeof(WCHAR));
    std::memcpy(name + offsetof(USB_HUB_NAME, ActualLength), &actualLength, sizeof actualLength);
    const ULONG room = length - ULONG(sizeof(ULONG));
    std::memcpy(name + offsetof(USB_HUB_NAME, HubName), text.data(), room < nameBytes ? room : nameBytes);
    if (room >= nameBytes + sizeof(WCHAR)) {
        std::memset(name + offsetof(USB_HUB_NAME, HubName) + nameBytes, 0, sizeof(WCHAR));
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbHub::Pnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_INTERFACE:
        if (stack->Parameters.QueryInterface.InterfaceType != nullptr &&
            IsEqualGUID(*stack->Parameters.QueryInterface.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID)) {
            return QueryUsbdiInterface(*controller_.DeviceOf(pdo), stack);
        }
        return irp->IoStatus.Status;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return STATUS_SUCCESS;
    default:
        return irp->IoStatus.Status;
    }
}

void UsbHub::CancelUrb(PDEVICE_OBJECT pdo, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto& hub = static_cast<UsbHub&>(sim::io::BusDriver::HandlerOf(pdo));
    BusDevice* device = hub.controller_.DeviceOf(pdo);
    if (device != nullptr) {
        hub.controller_.CancelUrb(*device, irp);
    }
}

}  // namespace sim::usb
