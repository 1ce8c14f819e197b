// Simulated bus drivers: the platform's own drivers below the product, such as the USB bus driver
// that owns the physical device object (PDO) the product's function driver attaches to. A bus
// driver is C++ code of the simulation; the I/O manager gives it a real driver object and real
// PDOs, so IRPs reach it through IoCallDriver exactly as they reach a Windows bus driver.
//
//   class UsbPort : public sim::io::BusDriverHandler {
//       NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override { ... }
//   };
//   sim::io::BusDriver usb(u"usbhub");
//   UsbPort port;
//   PDEVICE_OBJECT pdo;
//   usb.CreateDevice(port, &pdo);          // \Device\0000000n, ready for I/O, StackSize 1
//   ... the function driver attaches, IRPs flow ...
//   IoDeleteDevice(pdo);                   // after IRP_MN_REMOVE_DEVICE, as a bus driver does
//
// Rules a handler follows, as the bottom driver of a stack:
//   - Dispatch runs on the sender's thread at the sender's IRQL (PASSIVE_LEVEL up to
//     DISPATCH_LEVEL); it must not wait above PASSIVE_LEVEL and returns at the IRQL it came in at.
//   - It completes every IRP it receives: either now (set IoStatus, IoCompleteRequest, return the
//     same status), or later: IoMarkIrpPending, keep the IRP, return STATUS_PENDING, and complete
//     it when the simulated hardware is done, typically from a DPC at DISPATCH_LEVEL. An IRP kept
//     for later should get a cancel routine (IoSetCancelRoutine) that the handler clears before
//     it completes the IRP.
//   - The current stack location (IoGetCurrentIrpStackLocation) holds the request; a bus driver
//     has no lower device to pass anything on to.
//   - Every IRP_MJ_* comes here, including create/close and power; the handler answers what it
//     does not support with the status Windows bus drivers use (for PnP and power IRPs: leave
//     IoStatus.Status as it is and complete the IRP).
#pragma once

#include <functional>
#include <string>

#include "sim/api/kernel.h"

namespace sim::io {

class BusDriverHandler {
public:
    virtual NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) = 0;

protected:
    ~BusDriverHandler() = default;
};

// A handler made of a function, for small parts of the simulation and for tests.
class DispatchFunction final : public BusDriverHandler {
public:
    explicit DispatchFunction(std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch)
        : dispatch_(std::move(dispatch))
    {
    }
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) override { return dispatch_(device, irp); }

private:
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch_;
};

// "\Driver\<name>": a bus driver of the simulated platform. It is never unloaded by the product;
// it goes when the object is destroyed, by which time each of its devices must have been deleted
// (a device left behind is reported).
class BusDriver {
public:
    explicit BusDriver(const std::u16string& name);
    ~BusDriver();
    BusDriver(const BusDriver&) = delete;
    BusDriver& operator=(const BusDriver&) = delete;

    PDRIVER_OBJECT DriverObject() const { return driver_; }

    // Creates a PDO whose IRPs go to `handler`, which must outlive the device object. The PDO is
    // named by the I/O manager (\Device\ and eight hex digits, as Windows names PDOs), has
    // DO_POWER_PAGABLE set and DO_DEVICE_INITIALIZING cleared, and a zeroed device extension of
    // `extensionSize` bytes. Fails like IoCreateDevice.
    NTSTATUS CreateDevice(BusDriverHandler& handler, PDEVICE_OBJECT* device, ULONG extensionSize = 0,
                          ULONG deviceType = FILE_DEVICE_UNKNOWN);

    // The handler of a device of this bus driver.
    static BusDriverHandler& HandlerOf(PDEVICE_OBJECT device);

private:
    PDRIVER_OBJECT driver_;
};

}  // namespace sim::io
