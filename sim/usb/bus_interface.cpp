// The USBDI bus interface (USB_BUS_INTERFACE_USBDI_V0/V1) the hub hands out through
// IRP_MN_QUERY_INTERFACE. Drivers call these functions directly, at any IRQL up to DISPATCH_LEVEL;
// BusContext is the device's BusDevice.
#include <cstddef>

#include "sim/usb/host_controller.h"
#include "sim/usb/usb_hub.h"

namespace sim::usb {

namespace {

BusDevice& DeviceOf(PVOID busContext) { return *static_cast<BusDevice*>(busContext); }

void BusInterfaceReference(PVOID busContext)
{
    InterlockedIncrement(DeviceOf(busContext).BusInterfaceReferenceCount());
}

void BusInterfaceDereference(PVOID busContext)
{
    InterlockedDecrement(DeviceOf(busContext).BusInterfaceReferenceCount());
}

void GetUsbdiVersion(PVOID busContext, PUSBD_VERSION_INFORMATION versionInformation, PULONG hcdCapabilities)
{
    if (versionInformation != nullptr) {
        const USB_CONTROLLER_FLAVOR flavor = DeviceOf(busContext).Controller().Options().flavor;
        versionInformation->USBDI_Version = USBDI_VERSION;
        versionInformation->Supported_USB_Version = flavor >= EHCI_Generic ? 0x0200 : 0x0110;
    }
    if (hcdCapabilities != nullptr) {
        *hcdCapabilities = 0;
    }
}

NTSTATUS QueryBusTime(PVOID busContext, PULONG currentFrame)
{
    if (currentFrame == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *currentFrame = DeviceOf(busContext).Controller().CurrentFrame();
    return STATUS_SUCCESS;
}

// Neither is offered by this bus (a real one may refuse them too): isochronous OUT goes through
// URBs, and no driver of this machine asks for bandwidth figures.
NTSTATUS SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; }

BOOLEAN IsDeviceHighSpeed(PVOID busContext) { return DeviceOf(busContext).IsHighSpeed() ? TRUE : FALSE; }

}  // namespace

NTSTATUS QueryUsbdiInterface(BusDevice& device, PIO_STACK_LOCATION stack)
{
    auto& query = stack->Parameters.QueryInterface;
    if (query.Version > USB_BUSIF_USBDI_VERSION_1) {
        return STATUS_NOT_SUPPORTED;
    }
    const size_t needed = query.Version == USB_BUSIF_USBDI_VERSION_0
                              ? offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed)
                              : sizeof(USB_BUS_INTERFACE_USBDI_V1);
    if (query.Interface == nullptr || query.Size < needed) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* busInterface = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(query.Interface);
    busInterface->Size = USHORT(needed);
    busInterface->Version = query.Version;
    busInterface->BusContext = &device;
    busInterface->InterfaceReference = &BusInterfaceReference;
    busInterface->InterfaceDereference = &BusInterfaceDereference;
    busInterface->GetUSBDIVersion = &GetUsbdiVersion;
    busInterface->QueryBusTime = &QueryBusTime;
    busInterface->SubmitIsoOutUrb = &SubmitIsoOutUrb;
    busInterface->QueryBusInformation = &QueryBusInformation;
    if (query.Version >= USB_BUSIF_USBDI_VERSION_1) {
        busInterface->IsDeviceHighSpeed = &IsDeviceHighSpeed;
    }
    busInterface->InterfaceReference(busInterface->BusContext);
    return STATUS_SUCCESS;
}

}  // namespace sim::usb
