// One device on a root port of the simulated host controller, as the USB stack sees it: its model,
// its configuration and interface handles, its open pipes with their isochronous schedules, the
// control transfers queued on its default pipe, and what tests injected or want to observe.
//
// Every method that ends in Locked runs with the host controller's lock held. IRPs whose URBs the
// bus finishes are not completed under the lock: they are collected in a CompletionList that the
// caller completes after releasing it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "sim/api/kernel.h"
#include "sim/api/usb_types.h"
#include "sim/usb/configuration_layout.h"
#include "sim/usb/device_model.h"
#include "sim/usb/pipe_faults.h"

namespace sim::usb {

class HostController;

struct Completion {
    PIRP irp;
    NTSTATUS status;
};
using CompletionList = std::vector<Completion>;

struct PendingIsoTransfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t bufferLength = 0;
    int64_t firstInterval = 0;  // bus interval of packet 0
    // Packets before this one lie in frames that had begun when the URB arrived: the controller
    // had already fetched its schedule for them, so they are late.
    uint32_t latePackets = 0;
    uint32_t fetchedPackets = 0;  // OUT packets whose bytes the controller holds (late ones count)
    uint32_t nextPacket = 0;      // packets before it have crossed the bus
    // The OUT bytes as the controller fetched them, at the packets' offsets.
    std::vector<uint8_t> fetched;
    uint32_t bytes = 0;
    ULONG errors = 0;
    USBD_STATUS failure = USBD_STATUS_SUCCESS;  // set when the whole transfer failed (stall, halt)
    int64_t completionNs = 0;
};

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    uint8_t interfaceNumber = 0;
    EndpointLayout endpoint;
    int64_t period = 1;  // bus intervals from one packet to the next
    std::deque<PendingIsoTransfer> pending;  // in bus order
    int64_t nextInterval = -1;  // where an ASAP transfer continues; -1 when the stream never ran
    bool halted = false;
};

struct PendingControl {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    int64_t completionNs = 0;
};

class BusDevice {
public:
    BusDevice(HostController& controller, std::unique_ptr<UsbDeviceModel> model, ULONG port);
    ~BusDevice();
    BusDevice(const BusDevice&) = delete;
    BusDevice& operator=(const BusDevice&) = delete;

    // ---- For tests and the rest of the machine; each takes the controller's lock itself. ----
    UsbDeviceModel& Model() { return *model_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    ULONG Port() const { return port_; }
    bool IsHighSpeed() const { return model_->Speed() == UsbSpeed::High; }
    bool Connected() const;
    bool ConnectedLocked() const { return connected_; }
    uint32_t Enumerations() const;  // 1 after plugging, one more per port cycle
    void InjectFault(uint8_t endpointAddress, const PipeFault& fault);
    EndpointCounters Counters(uint8_t endpointAddress) const;
    // References the driver holds on the bus interface (InterfaceReference minus InterfaceDereference).
    LONG BusInterfaceReferences() const { return busInterfaceReferences_; }

    // ---- The bus side. ----
    HostController& Controller() { return controller_; }
    void SetPdo(PDEVICE_OBJECT pdo) { pdo_ = pdo; }
    volatile LONG* BusInterfaceReferenceCount() { return &busInterfaceReferences_; }

    // Executes or queues the URB. Returns STATUS_PENDING after marking the IRP pending and queueing
    // it, else the final status with the URB's status set (the caller completes the IRP).
    NTSTATUS SubmitUrbLocked(PIRP irp, PURB urb, int64_t nowNs, CompletionList& done);

    // Removes the IRP from wherever it waits on this device and fails it as cancelled; does
    // nothing when it no longer waits here (its completion is already under way).
    void CancelLocked(PIRP irp, int64_t nowNs, CompletionList& done);

    // The earliest isochronous packet whose frame ended before `frame` began, or none.
    struct DuePacket {
        Pipe* pipe = nullptr;
        PendingIsoTransfer* transfer = nullptr;
        int64_t interval = 0;
        int64_t microframe = 0;  // where the interval begins: bus order across speeds
    };
    DuePacket NextDuePacketLocked(int64_t frame);
    // The packet crosses the bus: the device takes an OUT packet's fetched bytes or sends an IN
    // packet, which lands in the transfer buffer.
    void DeliverPacketLocked(const DuePacket& packet);
    // Takes the bytes of every OUT packet of frames up to `frame` from their transfer buffers.
    void FetchOutPacketsLocked(int64_t frame);
    // Finishes the transfers and control requests whose time has come.
    void CollectLocked(int64_t nowNs, CompletionList& done);
    // When the schedule next has work for this device (a packet to fetch or to deliver, a
    // completion); INT64_MAX when nothing is pending.
    int64_t NextEventLocked() const;
    bool HoldsBufferLocked(const uint8_t* begin, const uint8_t* end) const;

    // The port resets and the device enumerates again; everything pending fails.
    void CyclePortLocked(CompletionList& done);
    // The device leaves the bus; everything pending and everything later fails.
    void DisconnectLocked(CompletionList& done);

private:
    NTSTATUS WatchForCancelLocked(PIRP irp, NTSTATUS status, int64_t nowNs, CompletionList& done);

    // Control pipe (urb_control.cpp).
    NTSTATUS QueueControlLocked(PIRP irp, PURB urb, int64_t nowNs);
    void ExecuteControlLocked(PURB urb, CompletionList& done);
    USBD_STATUS GetDescriptorLocked(PURB urb);
    USBD_STATUS ClassOrVendorRequestLocked(PURB urb);
    USBD_STATUS SelectConfigurationLocked(PURB urb, CompletionList& done);
    USBD_STATUS SelectInterfaceLocked(PURB urb, CompletionList& done);
    void OpenInterfaceLocked(const AlternateLayout& alternate, PUSBD_INTERFACE_INFORMATION information);

    // Isochronous URBs (urb_isoch.cpp).
    NTSTATUS SubmitIsochLocked(PIRP irp, PURB urb, int64_t nowNs);
    USBD_STATUS CheckIsochLocked(const Pipe& pipe, PURB urb) const;
    USBD_STATUS ScheduleLocked(Pipe& pipe, PURB urb, int64_t nowNs, int64_t& first);
    USBD_STATUS AbortPipeLocked(PURB urb, int64_t nowNs, CompletionList& done);
    USBD_STATUS ResetPipeLocked(PURB urb);

    // Isochronous packets on the frame clock (isoch_schedule.cpp).
    int64_t FrameOfPacket(const Pipe& pipe, const PendingIsoTransfer& transfer, uint32_t packet) const;
    int64_t PipeEventLocked(const Pipe& pipe) const;
    void FinishIsoTransferLocked(Pipe& pipe, PendingIsoTransfer& transfer, CompletionList& done);

    // Pipes and handles (bus_device.cpp).
    Pipe* FindPipeLocked(USBD_PIPE_HANDLE handle);
    void ClosePipesLocked(const std::vector<USBD_PIPE_HANDLE>& handles, USBD_STATUS status, CompletionList& done);
    void CloseConfigurationLocked(USBD_STATUS status, CompletionList& done);
    void FailEverythingLocked(USBD_STATUS status, CompletionList& done);

    struct OpenInterface {
        USBD_INTERFACE_HANDLE handle = nullptr;
        uint8_t alternate = 0;
        std::vector<USBD_PIPE_HANDLE> pipes;
    };

    HostController& controller_;
    std::unique_ptr<UsbDeviceModel> model_;
    const ULONG port_;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool connected_ = true;
    uint32_t enumerations_ = 1;
    volatile LONG busInterfaceReferences_ = 0;

    // The configuration the driver selected: a copy of the descriptor set it passed, as the USB
    // stack keeps one with the configuration handle for later interface selections.
    Bytes configurationCopy_;
    ConfigurationLayout configuration_;
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    std::map<uint8_t, OpenInterface> interfaces_;
    std::map<uintptr_t, Pipe> pipes_;

    std::deque<PendingControl> control_;
    int64_t lastControlNs_ = 0;

    std::map<uint8_t, FaultQueue> faults_;
    std::map<uint8_t, EndpointCounters> counters_;
    Bytes scratch_;  // an IN packet as the device sends it, before it is placed in the buffer
};

// The transfer buffer of a URB: the MDL's system address when there is an MDL (the stack prefers
// it, as Windows does), else TransferBuffer.
uint8_t* UrbBuffer(PVOID transferBuffer, PMDL mdl);

}  // namespace sim::usb
