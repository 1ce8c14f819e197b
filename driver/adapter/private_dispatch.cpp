// The driver's dispatch routines ahead of PortCls: requests on the private interface's handles are
// handled here, every other request goes to PortCls, whose filters share the device object.
#include "driver/adapter/asio_handle.h"

namespace {

typedef NTSTATUS (*PrivateHandler)(AsioHandleContext* context, PIRP irp);

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool IsAsioFileName(PFILE_OBJECT file)
{
    if (file == nullptr) {
        return false;
    }
    UNICODE_STRING asio;
    RtlInitUnicodeString(&asio, W("\\asio"));
    return RtlEqualUnicodeString(&file->FileName, &asio, TRUE) != FALSE;
}

// FsContext2 of a foreign handle holds one of PortCls's objects; a private handle's context starts
// with its tag.
AsioHandleContext* PrivateContext(PFILE_OBJECT file)
{
    if (file == nullptr || file->FsContext2 == nullptr) {
        return nullptr;
    }
    auto* context = static_cast<AsioHandleContext*>(file->FsContext2);
    return context->tag == kAsioHandleTag ? context : nullptr;
}

NTSTATUS DispatchPrivate(PDEVICE_OBJECT deviceObject, PIRP irp, PrivateHandler handler)
{
    AsioHandleContext* context = PrivateContext(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (context == nullptr) {
        return PcDispatchIrp(deviceObject, irp);
    }
    irp->IoStatus.Information = 0;
    const NTSTATUS status = handler(context, irp);
    return status == STATUS_PENDING ? status : Complete(irp, status);
}

NTSTATUS Cleanup(AsioHandleContext* context, PIRP irp)
{
    return CleanupAsioHandle(IoGetCurrentIrpStackLocation(irp)->FileObject, context);
}

NTSTATUS Close(AsioHandleContext* context, PIRP irp)
{
    return CloseAsioHandle(IoGetCurrentIrpStackLocation(irp)->FileObject, context);
}

// IRQL: PASSIVE_LEVEL for all six.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!IsAsioFileName(file)) {
        return PcDispatchIrp(deviceObject, irp);
    }
    irp->IoStatus.Information = 0;
    return Complete(irp, CreateAsioHandle(deviceObject, file));
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    return DispatchPrivate(deviceObject, irp, Cleanup);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    return DispatchPrivate(deviceObject, irp, Close);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    return DispatchPrivate(deviceObject, irp, HandleAsioControl);
}

NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    return DispatchPrivate(deviceObject, irp, HandleAsioData);
}

}  // namespace

void InstallPrivateDispatch(PDRIVER_OBJECT driverObject)
{
    PAGED_CODE();
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    driverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
}
