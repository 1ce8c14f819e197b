// The hub driver's side of each plugged device: the dispatch routine of the devices' physical
// device objects (URBs, port requests, the controller's name, the USBDI bus interface) and that
// interface's functions, which drivers call directly.
#pragma once

#include "sim/api/kernel.h"
#include "sim/io/bus_driver.h"

namespace sim::usb {

class HostController;

class UsbHub final : public sim::io::BusDriverHandler {
public:
    explicit UsbHub(HostController& controller) : controller_(controller) {}

    NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override;

    // Cancel routine of every URB IRP the bus keeps pending.
    static void CancelUrb(PDEVICE_OBJECT pdo, PIRP irp);

private:
    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp);
    NTSTATUS ControllerName(PIRP irp);
    NTSTATUS Pnp(PDEVICE_OBJECT pdo, PIRP irp);

    HostController& controller_;
};

class BusDevice;

// Fills a USB_BUS_INTERFACE_USBDI_V0/V1 for the device and takes the reference the receiver
// releases through InterfaceDereference.
NTSTATUS QueryUsbdiInterface(BusDevice& device, PIO_STACK_LOCATION stack);

}  // namespace sim::usb
