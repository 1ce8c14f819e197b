// The simulated USB host controller with its root hub: the frame clock, the schedule that moves
// isochronous packets at their (micro)frames and retires transfers after their last packet, the
// controller's identity (PCI IDs and flavour, as IOCTL_USB_USER_REQUEST reports them), and the
// root ports where device models are plugged in.
//
// Below the product it looks like the Windows USB stack: each plugged device has a physical device
// object of the hub driver ("\Driver\usbhub") that takes URBs (IOCTL_INTERNAL_USB_SUBMIT_URB), the
// port requests and the USBDI bus interface (bus_driver.cpp); the controller itself is a device
// object of the controller driver, opened by the name IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME gives.
//
// The schedule works as an EHCI controller does. The controller may cache up to a whole frame of
// its periodic schedule ahead (the Isochronous Scheduling Threshold of HCCPARAMS), so at the start
// of each frame it takes the bytes of every OUT packet of that frame from the transfer buffers: what
// a driver writes into a packet after that is not sent, what it writes before is. IN packets reach
// the transfer buffer when their frame has ended, when the controller retires the frame's
// descriptors. Transfers complete by IoCompleteRequest from the controller's DPC, at
// DISPATCH_LEVEL, at the end of their last packet's frame. A kernel timer wakes the DPC at the next
// frame boundary with work: once a frame while isochronous transfers are pending, never when the
// bus is idle.
//
//   sim::Machine machine;
//   sim::usb::HostController usb;                       // EHCI by default; see the options
//   sim::usb::BusDevice& r9 = usb.Plug(std::make_unique<sim::devices::R9Device>());
//   driver stack on r9.Pdo() ... usb.CurrentFrame() ... r9.InjectFault(0x82, PipeFault::...)
//
// Create it on a thread of the machine after the machine and destroy it before; destruction fails
// whatever is still pending and deletes the device objects.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/api/kernel.h"
#include "sim/io/bus_driver.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/bus_time.h"
#include "sim/usb/device_model.h"

namespace sim::usb {

class UsbHub;

struct HostControllerOptions {
    // What IOCTL_USB_USER_REQUEST / USBUSER_GET_CONTROLLER_INFO_0 reports.
    ULONG pciVendorId = 0x8086;  // Intel
    ULONG pciDeviceId = 0x293A;  // an ICH9 USB 2.0 EHCI function
    ULONG pciRevision = 0x03;
    ULONG rootPorts = 6;
    USB_CONTROLLER_FLAVOR flavor = EHCI_Generic;
    ULONG featureFlags = USB_HC_FEATURE_FLAG_PORT_POWER_SWITCHING | USB_HC_FEATURE_FLAG_SEL_SUSPEND;
    // Off: the controller answers the user request with STATUS_INVALID_DEVICE_REQUEST, as a stack
    // that does not offer it does.
    bool answersControllerInfo = true;

    // Frames between now and the first packet of an ASAP transfer on an idle pipe.
    ULONG asapLeadFrames = 2;

    // The frame counter: the number it starts at (derived from frameSeed unless firstFrameNumber
    // is set; see FirstFrameNumberFromSeed) and how many ppm the controller's clock runs off the
    // machine's (the performance counter's).
    uint64_t frameSeed = 0x52390001;
    std::optional<ULONG> firstFrameNumber;
    int32_t clockPpm = 0;
};

class HostController final : private sim::io::BusDriverHandler {
public:
    explicit HostController(HostControllerOptions options = {});
    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    const HostControllerOptions& Options() const { return options_; }

    // Connects the device to the next free root port. It is reset and enumerated at once, and its
    // physical device object is ready for a driver stack. Fails the test (verifier) when every
    // root port is taken.
    BusDevice& Plug(std::unique_ptr<UsbDeviceModel> model);
    // Pulls the device out: whatever it has pending fails as USB requests to a device that left
    // the bus fail, and so does everything sent to it later. Its device object stays until the
    // controller goes (tearing the driver stack down is Plug and Play's job).
    void Unplug(BusDevice& device);

    // The 32-bit frame counter, as QueryBusTime and URB StartFrame use it.
    ULONG CurrentFrame() const;
    // The machine time at which the frame with that number begins (the one nearest the present).
    int64_t FrameStartNs(ULONG frameNumber) const;
    const BusClock& Clock() const { return clock_; }
    // The controller's device object and the name under which IoGetDeviceObjectPointer opens it.
    PDEVICE_OBJECT ControllerDevice() const { return controllerDevice_; }
    const std::u16string& ControllerName() const { return controllerName_; }

    // ---- For the bus side (BusDevice, the hub's dispatch). ----
    class LockGuard {
    public:
        explicit LockGuard(PKSPIN_LOCK lock) : lock_(lock) { KeAcquireSpinLock(lock_, &irql_); }
        ~LockGuard() { KeReleaseSpinLock(lock_, irql_); }
        LockGuard(const LockGuard&) = delete;
        LockGuard& operator=(const LockGuard&) = delete;

    private:
        PKSPIN_LOCK lock_;
        KIRQL irql_;
    };
    [[nodiscard]] LockGuard Guard() const { return LockGuard(&lock_); }

    USBD_PIPE_HANDLE NewHandleLocked();
    // Brings the schedule up to nowNs: every packet whose frame has ended crosses the bus, oldest
    // first across all devices and pipes so that a device model sees its traffic in bus order; then
    // the OUT packets of the frame under way are fetched from their buffers.
    void AdvanceScheduleLocked(int64_t nowNs);
    // Whether any byte of [begin, end) belongs to the buffer of a pending isochronous transfer.
    bool BufferInFlightLocked(const uint8_t* begin, const uint8_t* end) const;

    // The hub's entry points. SubmitUrb returns STATUS_PENDING for a queued URB; otherwise the
    // caller completes the IRP with the status returned.
    NTSTATUS SubmitUrb(BusDevice& device, PIRP irp, PURB urb);
    void CyclePort(BusDevice& device);
    void CancelUrb(BusDevice& device, PIRP irp);
    BusDevice* DeviceOf(PDEVICE_OBJECT pdo);

    // Completes IRPs the bus finished, after clearing their cancel routines.
    static void CompleteAll(const CompletionList& done);

private:
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) override;  // the controller's own device
    NTSTATUS UserRequest(PIRP irp);
    void ArmTimerLocked(int64_t nowNs);
    static void TimerDpc(KDPC* dpc, PVOID context, PVOID, PVOID);
    void OnTimer();

    HostControllerOptions options_;
    BusClock clock_;
    mutable KSPIN_LOCK lock_ = 0;
    KTIMER timer_{};
    KDPC dpc_{};
    int64_t armedFor_;
    uintptr_t nextHandle_;

    // Declared before the devices: the drivers outlive their device objects.
    sim::io::BusDriver controllerDriver_;
    sim::io::BusDriver hubDriver_;
    std::unique_ptr<UsbHub> hub_;
    PDEVICE_OBJECT controllerDevice_ = nullptr;
    std::u16string controllerName_;
    std::vector<std::unique_ptr<BusDevice>> devices_;
};

}  // namespace sim::usb
