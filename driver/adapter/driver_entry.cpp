// Driver entry, add-device, start-device, the Plug and Play hook and unload: the routines the
// I/O manager, the PnP manager and PortCls call before and around the adapter object.
#include "driver/adapter/adapter_extension.h"
#include "driver/adapter/asio_handle.h"
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/adapter/wave_registration.h"
#include "driver/driver_tuning.h"
#include "driver/trace.h"

namespace {

// One adapter object per device, so PortCls needs room for one subdevice object.
constexpr ULONG kMaxObjects = 1;

// IRQL: PASSIVE_LEVEL. Called by PortCls while it handles IRP_MN_START_DEVICE.
NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT deviceObject, PIRP, PRESOURCELIST)
{
    PAGED_CODE();
    AdapterExtension* extension = GetAdapterExtension(deviceObject);
    extension->adapter = nullptr;
    KeInitializeMutex(&extension->mutex, 0);
    extension->removing = 0;
    SelectPoolType();

    UsbAudioAdapter* object = nullptr;
    NTSTATUS status = UsbAudioAdapter::Create(nullptr, g_DriverTuning.poolType, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IUsbAudioAdapter* adapter = nullptr;
    status = object->QueryInterface(IID_IUsbAudioAdapter, reinterpret_cast<PVOID*>(&adapter));
    // This device's own physical device object: PortCls attached it below the device object. (The
    // one of the most recent add-device would be another device's when two were added before
    // either started.)
    PDEVICE_OBJECT pdo = nullptr;
    if (NT_SUCCESS(status)) {
        status = PcGetPhysicalDeviceObject(deviceObject, &pdo);
    }
    if (NT_SUCCESS(status)) {
        status = adapter->Init(pdo, deviceObject);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterAdapterPowerManagement(static_cast<IUsbAudioAdapter*>(object), deviceObject);
    }
    if (NT_SUCCESS(status)) {
        // A device at a rate without a filter name still starts: its private interface works.
        const NTSTATUS registered = RegisterWaveSubdevice(deviceObject, object);
        if (!NT_SUCCESS(registered)) {
            R9_TRACE("StartDevice: no wave filter 0x%08X\n", unsigned(registered));
        }
        extension->adapter = adapter;
    } else {
        R9_TRACE("StartDevice: failed 0x%08X\n", unsigned(status));
    }
    // PortCls now holds the adapter through the power registration and the miniport.
    if (adapter != nullptr) {
        adapter->Release();
    }
    object->NonDelegatingRelease();
    return status;
}

// IRQL: PASSIVE_LEVEL. Called by the PnP manager for each new device.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject)
{
    PAGED_CODE();
    const NTSTATUS status = PcAddAdapterDevice(driverObject, physicalDeviceObject, StartDevice, kMaxObjects,
                                               PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(AdapterExtension));
    if (NT_SUCCESS(status)) {
        // PortCls has just attached the new FDO on top of the stack. The removal hook takes the
        // extension's mutex for every remove request, also for one that follows a start that
        // failed before StartDevice ran: the mutex must exist as long as the device object.
        PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(physicalDeviceObject);
        KeInitializeMutex(&GetAdapterExtension(fdo)->mutex, 0);
        ObDereferenceObject(fdo);
    }
    return status;
}

// IRQL: PASSIVE_LEVEL. Removal starts with the first of these requests: from then on new work is
// refused and the adapter waits for what is in progress, before PortCls tears anything down.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
        AdapterExtension* extension = GetAdapterExtension(deviceObject);
        KeWaitForSingleObject(&extension->mutex, Executive, KernelMode, FALSE, nullptr);
        const ULONG wasRemoving = extension->removing;
        extension->removing = 1;
        KeReleaseMutex(&extension->mutex, FALSE);
        if (wasRemoving == 0 && extension->adapter != nullptr) {
            extension->adapter->OnDeviceRemoval();
        }
    }
    return PcDispatchIrp(deviceObject, irp);
}

// IRQL: PASSIVE_LEVEL. Called by the I/O manager once every device object is gone.
void NTAPI DriverUnload(PDRIVER_OBJECT driverObject)
{
    DbgPrint("UsbAudio!DriverUnload\n");
    if (g_DriverTuning.savedUnload != nullptr) {
        g_DriverTuning.savedUnload(driverObject);
    }
}

}  // namespace

// IRQL: PASSIVE_LEVEL. Called by the I/O manager when the driver image is loaded.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    DbgPrint("UsbAudio!DriverEntry\n");
    ResetDriverTuning();
    const NTSTATUS status = PcInitializeAdapterDriver(driverObject, registryPath, AddDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    InstallPrivateDispatch(driverObject);
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    // PortCls has just filled in the driver object; only now is its unload routine there to save.
    g_DriverTuning.savedUnload = driverObject->DriverUnload;
    driverObject->DriverUnload = DriverUnload;
    return status;
}
