#include "sim/usb/bus_device.h"

#include <climits>

#include "sim/usb/bus_time.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/usb_hub.h"
#include "sim/usb/usbd_status.h"

namespace sim::usb {

uint8_t* UrbBuffer(PVOID transferBuffer, PMDL mdl)
{
    if (mdl != nullptr) {
        if (mdl->MappedSystemVa != nullptr) {
            return static_cast<uint8_t*>(mdl->MappedSystemVa);
        }
        return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
    }
    return static_cast<uint8_t*>(transferBuffer);
}

BusDevice::BusDevice(HostController& controller, std::unique_ptr<UsbDeviceModel> model, ULONG port)
    : controller_(controller), model_(std::move(model)), port_(port)
{
    model_->BusReset();
}

BusDevice::~BusDevice() = default;

bool BusDevice::Connected() const
{
    auto guard = controller_.Guard();
    return connected_;
}

uint32_t BusDevice::Enumerations() const
{
    auto guard = controller_.Guard();
    return enumerations_;
}

void BusDevice::InjectFault(uint8_t endpointAddress, const PipeFault& fault)
{
    auto guard = controller_.Guard();
    faults_[endpointAddress].Add(fault);
}

EndpointCounters BusDevice::Counters(uint8_t endpointAddress) const
{
    auto guard = controller_.Guard();
    auto found = counters_.find(endpointAddress);
    return found == counters_.end() ? EndpointCounters{} : found->second;
}

NTSTATUS BusDevice::SubmitUrbLocked(PIRP irp, PURB urb, int64_t nowNs, CompletionList& done)
{
    if (urb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    USBD_STATUS result = USBD_STATUS_SUCCESS;
    if (!connected_) {
        result = USBD_STATUS_DEVICE_GONE;
    } else {
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
        case URB_FUNCTION_SELECT_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
            return WatchForCancelLocked(irp, QueueControlLocked(irp, urb, nowNs), nowNs, done);
        case URB_FUNCTION_ISOCH_TRANSFER:
            return WatchForCancelLocked(irp, SubmitIsochLocked(irp, urb, nowNs), nowNs, done);
        case URB_FUNCTION_ABORT_PIPE:
            result = AbortPipeLocked(urb, nowNs, done);
            break;
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            result = ResetPipeLocked(urb);
            break;
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
                result = USBD_STATUS_INVALID_PARAMETER;
            } else {
                const BusClock& clock = controller_.Clock();
                urb->UrbGetCurrentFrameNumber.FrameNumber = clock.FrameNumber(clock.FrameAt(nowNs));
            }
            break;
        default:
            // Bulk and interrupt transfers and the remaining standard-request functions are not
            // modelled: no device of this machine has such endpoints, and the driver sends none.
            result = USBD_STATUS_NOT_SUPPORTED;
            break;
        }
    }
    urb->UrbHeader.Status = result;
    return NtStatusFromUsbd(result);
}

NTSTATUS BusDevice::WatchForCancelLocked(PIRP irp, NTSTATUS status, int64_t nowNs, CompletionList& done)
{
    if (status != STATUS_PENDING) {
        return status;
    }
    IoSetCancelRoutine(irp, &UsbHub::CancelUrb);
    // Cancelled before the routine was in place: nobody else will notice, so cancel it here.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        CancelLocked(irp, nowNs, done);
    }
    return STATUS_PENDING;
}

void BusDevice::CancelLocked(PIRP irp, int64_t nowNs, CompletionList& done)
{
    for (auto request = control_.begin(); request != control_.end(); ++request) {
        if (request->irp == irp) {
            request->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            done.push_back({irp, STATUS_CANCELLED});
            control_.erase(request);
            return;
        }
    }
    controller_.AdvanceScheduleLocked(nowNs);
    for (auto& [value, pipe] : pipes_) {
        for (auto transfer = pipe.pending.begin(); transfer != pipe.pending.end(); ++transfer) {
            if (transfer->irp != irp) {
                continue;
            }
            if (transfer->failure == USBD_STATUS_SUCCESS &&
                transfer->nextPacket < transfer->urb->UrbIsochronousTransfer.NumberOfPackets) {
                transfer->failure = USBD_STATUS_CANCELED;
            }
            FinishIsoTransferLocked(pipe, *transfer, done);
            pipe.pending.erase(transfer);
            return;
        }
    }
}

void BusDevice::CollectLocked(int64_t nowNs, CompletionList& done)
{
    for (auto& [value, pipe] : pipes_) {
        // Completions of one pipe stay in order, as the controller retires them.
        while (!pipe.pending.empty()) {
            PendingIsoTransfer& head = pipe.pending.front();
            const uint32_t packets = head.urb->UrbIsochronousTransfer.NumberOfPackets;
            const bool moving = head.failure == USBD_STATUS_SUCCESS && head.nextPacket < packets;
            if (head.completionNs > nowNs || moving) {
                break;
            }
            FinishIsoTransferLocked(pipe, head, done);
            pipe.pending.pop_front();
        }
    }
    while (!control_.empty() && control_.front().completionNs <= nowNs) {
        PendingControl request = control_.front();
        control_.pop_front();
        ExecuteControlLocked(request.urb, done);
        ++counters_[0].transfers;
        done.push_back({request.irp, NtStatusFromUsbd(request.urb->UrbHeader.Status)});
    }
}

Pipe* BusDevice::FindPipeLocked(USBD_PIPE_HANDLE handle)
{
    auto found = pipes_.find(reinterpret_cast<uintptr_t>(handle));
    return found == pipes_.end() ? nullptr : &found->second;
}

void BusDevice::ClosePipesLocked(const std::vector<USBD_PIPE_HANDLE>& handles, USBD_STATUS status,
                                 CompletionList& done)
{
    for (USBD_PIPE_HANDLE handle : handles) {
        Pipe* pipe = FindPipeLocked(handle);
        if (pipe == nullptr) {
            continue;
        }
        for (PendingIsoTransfer& transfer : pipe->pending) {
            if (transfer.failure == USBD_STATUS_SUCCESS) {
                transfer.failure = status;
            }
            FinishIsoTransferLocked(*pipe, transfer, done);
        }
        pipes_.erase(reinterpret_cast<uintptr_t>(handle));
    }
}

void BusDevice::CloseConfigurationLocked(USBD_STATUS status, CompletionList& done)
{
    for (auto& [number, open] : interfaces_) {
        ClosePipesLocked(open.pipes, status, done);
    }
    interfaces_.clear();
    configurationHandle_ = nullptr;
    configurationCopy_.clear();
    configuration_ = ConfigurationLayout{};
}

void BusDevice::FailEverythingLocked(USBD_STATUS status, CompletionList& done)
{
    CloseConfigurationLocked(status, done);
    for (PendingControl& request : control_) {
        request.urb->UrbHeader.Status = status;
        done.push_back({request.irp, NtStatusFromUsbd(status)});
    }
    control_.clear();
}

void BusDevice::CyclePortLocked(CompletionList& done)
{
    FailEverythingLocked(USBD_STATUS_DEVICE_GONE, done);
    model_->BusReset();
    ++enumerations_;
}

void BusDevice::DisconnectLocked(CompletionList& done)
{
    FailEverythingLocked(USBD_STATUS_DEVICE_GONE, done);
    connected_ = false;
}

}  // namespace sim::usb
