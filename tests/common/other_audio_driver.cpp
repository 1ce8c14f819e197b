#include "tests/common/other_audio_driver.h"

namespace otheraudiodriver {

namespace {

// KSCATEGORY_AUDIO.
const GUID kAudioInterfaceClass = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

struct Extension {
    PDEVICE_OBJECT lower;
    WCHAR link[256];  // a copy, so that no pool stays allocated
    USHORT linkBytes;
};

Extension& ExtensionOf(PDEVICE_OBJECT device) { return *static_cast<Extension*>(device->DeviceExtension); }

void SetInterfaceState(Extension& extension, BOOLEAN enable)
{
    if (extension.linkBytes == 0) {
        return;
    }
    UNICODE_STRING link = {extension.linkBytes, extension.linkBytes, extension.link};
    IoSetDeviceInterfaceState(&link, enable);
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ExtensionOf(device).lower, irp);
}

NTSTATUS Start(Extension& extension, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(extension.lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, W("wave"));
    UNICODE_STRING link = {};
    if (NT_SUCCESS(status)) {
        status = IoRegisterDeviceInterface(extension.lower, &kAudioInterfaceClass, &reference, &link);
    }
    if (NT_SUCCESS(status)) {
        if (link.Length <= sizeof extension.link) {
            RtlCopyMemory(extension.link, link.Buffer, link.Length);
            extension.linkBytes = link.Length;
        } else {
            status = STATUS_NAME_TOO_LONG;
        }
        RtlFreeUnicodeString(&link);
    }
    if (NT_SUCCESS(status)) {
        SetInterfaceState(extension, TRUE);
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    Extension& extension = ExtensionOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Start(extension, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        SetInterfaceState(extension, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
        SetInterfaceState(extension, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = extension.lower;
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        return PassDown(device, irp);
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_KS, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension& extension = ExtensionOf(device);
    RtlZeroMemory(&extension, sizeof extension);
    extension.lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (extension.lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) { }

}  // namespace

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        driverObject->MajorFunction[i] = &PassDown;
    }
    driverObject->MajorFunction[IRP_MJ_PNP] = &Pnp;
    driverObject->DriverExtension->AddDevice = &AddDevice;
    driverObject->DriverUnload = &Unload;
    return STATUS_SUCCESS;
}

}  // namespace otheraudiodriver
