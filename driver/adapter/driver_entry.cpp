// Driver entry, add-device and start-device: the routines PortCls and the PnP manager call into
// the driver before any adapter object exists.
#include "platform/kernel.h"

namespace {

// The unload routine PortCls installed in PcInitializeAdapterDriver; ours must chain to it so
// PortCls can release what it set up for the driver object.
PDRIVER_UNLOAD savedUnload = nullptr;

// One adapter object per device, so PortCls needs room for one subdevice object.
constexpr ULONG kMaxObjects = 1;

// IRQL: PASSIVE_LEVEL. Called by PortCls while it handles IRP_MN_START_DEVICE.
NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList)
{
    // Every start fails until the adapter object exists; PnP then leaves the device stopped.
    return STATUS_NOT_IMPLEMENTED;
}

// IRQL: PASSIVE_LEVEL. Called by the PnP manager for each new device.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    return PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, kMaxObjects,
                              PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

// IRQL: PASSIVE_LEVEL. Called by the I/O manager once every device object is gone.
void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    DbgPrint("UsbAudio!DriverUnload\n");
    if (savedUnload != nullptr) {
        savedUnload(DriverObject);
    }
}

}  // namespace

// IRQL: PASSIVE_LEVEL. Called by the I/O manager when the driver image is loaded.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DbgPrint("UsbAudio!DriverEntry\n");
    const NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // PortCls has just filled in the driver object; only now is its unload routine there to save.
    savedUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = DriverUnload;
    return status;
}
