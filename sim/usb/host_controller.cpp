#include "sim/usb/host_controller.h"

#include <climits>

#include "sim/io/drivers.h"
#include "sim/kernel/machine.h"
#include "sim/usb/bus_time.h"
#include "sim/usb/usb_hub.h"

namespace sim::usb {

namespace {

// Pipe, interface and configuration handles are opaque to the driver; these values are never
// addresses, so a driver that dereferences one fails loudly.
constexpr uintptr_t kFirstHandle = 0x5B0000000000;
constexpr uintptr_t kHandleStep = 0x40;

std::u16string ControllerDriverName(USB_CONTROLLER_FLAVOR flavor)
{
    if (flavor >= OHCI_Generic && flavor < UHCI_Generic) {
        return u"usbohci";
    }
    if (flavor >= UHCI_Generic && flavor < EHCI_Generic) {
        return u"usbuhci";
    }
    return flavor >= EHCI_Generic ? u"usbehci" : u"usbport";
}

int64_t Now() { return sim::Machine::Current().Now(); }

}  // namespace

HostController::HostController(HostControllerOptions options)
    : options_(options),
      clock_(options.firstFrameNumber ? *options.firstFrameNumber : FirstFrameNumberFromSeed(options.frameSeed),
             options.clockPpm),
      armedFor_(INT64_MAX),
      nextHandle_(kFirstHandle),
      controllerDriver_(ControllerDriverName(options.flavor)),
      hubDriver_(u"usbhub"),
      hub_(std::make_unique<UsbHub>(*this))
{
    KeInitializeSpinLock(&lock_);
    KeInitializeTimer(&timer_);
    KeInitializeDpc(&dpc_, &HostController::TimerDpc, this);
    sim::io::BusDriverHandler& self = *this;
    const NTSTATUS status = controllerDriver_.CreateDevice(self, &controllerDevice_);
    if (!NT_SUCCESS(status)) {
        sim::Machine::Current().Verify().Report("USB host controller not created",
                                                "IoCreateDevice failed with " + std::to_string(status));
        return;
    }
    controllerName_ = sim::io::DeviceObjectName(controllerDevice_);
}

HostController::~HostController()
{
    CompletionList done;
    {
        auto guard = Guard();
        for (auto& device : devices_) {
            device->DisconnectLocked(done);
        }
        KeCancelTimer(&timer_);
        armedFor_ = INT64_MAX;
    }
    CompleteAll(done);
    KeFlushQueuedDpcs();
    for (auto& device : devices_) {
        if (device->Pdo() != nullptr) {
            IoDeleteDevice(device->Pdo());
        }
    }
    if (controllerDevice_ != nullptr) {
        IoDeleteDevice(controllerDevice_);
    }
}

BusDevice& HostController::Plug(std::unique_ptr<UsbDeviceModel> model)
{
    // The lowest port no connected device occupies: a pulled device's port is free again (its
    // device object stays with the controller until Plug and Play is done with it).
    ULONG port = 1;
    {
        auto guard = Guard();
        for (bool taken = true; taken; ) {
            taken = false;
            for (const auto& device : devices_) {
                if (device->ConnectedLocked() && device->Port() == port) {
                    taken = true;
                    ++port;
                    break;
                }
            }
        }
    }
    if (port > options_.rootPorts) {
        sim::Machine::Current().Verify().Report("USB root port unavailable",
                                                "all " + std::to_string(options_.rootPorts) + " ports are taken");
    }
    auto device = std::make_unique<BusDevice>(*this, std::move(model), port);
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status = hubDriver_.CreateDevice(*hub_, &pdo);
    if (!NT_SUCCESS(status)) {
        sim::Machine::Current().Verify().Report("USB device object not created",
                                                "IoCreateDevice failed with " + std::to_string(status));
    }
    device->SetPdo(pdo);
    auto guard = Guard();
    devices_.push_back(std::move(device));
    return *devices_.back();
}

void HostController::Unplug(BusDevice& device)
{
    CompletionList done;
    {
        auto guard = Guard();
        device.DisconnectLocked(done);
        ArmTimerLocked(Now());
    }
    CompleteAll(done);
}

ULONG HostController::CurrentFrame() const { return clock_.FrameNumber(clock_.FrameAt(Now())); }

int64_t HostController::FrameStartNs(ULONG frameNumber) const
{
    return clock_.FrameStartNs(clock_.FrameNamed(frameNumber, clock_.FrameAt(Now())));
}

USBD_PIPE_HANDLE HostController::NewHandleLocked()
{
    nextHandle_ += kHandleStep;
    return reinterpret_cast<USBD_PIPE_HANDLE>(nextHandle_);
}

void HostController::AdvanceScheduleLocked(int64_t nowNs)
{
    const int64_t frame = clock_.FrameAt(nowNs);
    for (;;) {
        BusDevice* owner = nullptr;
        BusDevice::DuePacket earliest;
        for (auto& device : devices_) {
            BusDevice::DuePacket due = device->NextDuePacketLocked(frame);
            if (due.pipe != nullptr && (owner == nullptr || due.microframe < earliest.microframe)) {
                owner = device.get();
                earliest = due;
            }
        }
        if (owner == nullptr) {
            break;
        }
        owner->DeliverPacketLocked(earliest);
    }
    for (auto& device : devices_) {
        device->FetchOutPacketsLocked(frame);
    }
}

bool HostController::BufferInFlightLocked(const uint8_t* begin, const uint8_t* end) const
{
    for (const auto& device : devices_) {
        if (device->HoldsBufferLocked(begin, end)) {
            return true;
        }
    }
    return false;
}

NTSTATUS HostController::SubmitUrb(BusDevice& device, PIRP irp, PURB urb)
{
    CompletionList done;
    NTSTATUS status;
    {
        auto guard = Guard();
        const int64_t now = Now();
        AdvanceScheduleLocked(now);
        status = device.SubmitUrbLocked(irp, urb, now, done);
        ArmTimerLocked(now);
    }
    CompleteAll(done);
    return status;
}

void HostController::CyclePort(BusDevice& device)
{
    CompletionList done;
    {
        auto guard = Guard();
        device.CyclePortLocked(done);
        ArmTimerLocked(Now());
    }
    CompleteAll(done);
}

void HostController::CancelUrb(BusDevice& device, PIRP irp)
{
    CompletionList done;
    {
        auto guard = Guard();
        const int64_t now = Now();
        device.CancelLocked(irp, now, done);
        ArmTimerLocked(now);
    }
    CompleteAll(done);
}

BusDevice* HostController::DeviceOf(PDEVICE_OBJECT pdo)
{
    auto guard = Guard();
    for (auto& device : devices_) {
        if (device->Pdo() == pdo) {
            return device.get();
        }
    }
    return nullptr;
}

void HostController::CompleteAll(const CompletionList& done)
{
    for (const Completion& completion : done) {
        // If IoCancelIrp already took the routine, it will not find the IRP pending any more
        // and leaves the completion to us.
        IoSetCancelRoutine(completion.irp, nullptr);
        completion.irp->IoStatus.Status = completion.status;
        completion.irp->IoStatus.Information = 0;
        IoCompleteRequest(completion.irp, IO_NO_INCREMENT);
    }
}

void HostController::ArmTimerLocked(int64_t nowNs)
{
    int64_t next = INT64_MAX;
    for (auto& device : devices_) {
        const int64_t due = device->NextEventLocked();
        if (due < next) {
            next = due;
        }
    }
    if (next == armedFor_) {
        return;
    }
    armedFor_ = next;
    if (next == INT64_MAX) {
        KeCancelTimer(&timer_);
        return;
    }
    const int64_t wait = next > nowNs ? next - nowNs : 0;
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -((wait + 99) / 100);
    KeSetTimer(&timer_, dueTime, &dpc_);
}

void HostController::TimerDpc(KDPC*, PVOID context, PVOID, PVOID) { static_cast<HostController*>(context)->OnTimer(); }

void HostController::OnTimer()
{
    CompletionList done;
    {
        auto guard = Guard();
        const int64_t now = Now();
        armedFor_ = INT64_MAX;
        AdvanceScheduleLocked(now);
        for (auto& device : devices_) {
            device->CollectLocked(now, done);
        }
        ArmTimerLocked(now);
    }
    CompleteAll(done);
}

NTSTATUS HostController::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_USB_USER_REQUEST
                     ? UserRequest(irp)
                     : STATUS_INVALID_DEVICE_REQUEST;
        break;
    case IRP_MJ_PNP:
    case IRP_MJ_POWER:
        status = irp->IoStatus.Status;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The answer travels in the request's own header: the IRP succeeds whenever the header could be
// read, and UsbUserStatusCode says whether the request did.
NTSTATUS HostController::UserRequest(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (!options_.answersControllerInfo) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* header = static_cast<PUSBUSER_REQUEST_HEADER>(irp->AssociatedIrp.SystemBuffer);
    if (header == nullptr || inputLength < sizeof(USBUSER_REQUEST_HEADER) ||
        outputLength < sizeof(USBUSER_REQUEST_HEADER)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    irp->IoStatus.Information = sizeof(USBUSER_REQUEST_HEADER);
    if (header->RequestBufferLength > inputLength || header->RequestBufferLength > outputLength) {
        header->UsbUserStatusCode = UsbUserInvalidHeaderParameter;
        return STATUS_SUCCESS;
    }
    if (header->UsbUserRequest != USBUSER_GET_CONTROLLER_INFO_0) {
        header->UsbUserStatusCode = UsbUserInvalidRequestCode;
        return STATUS_SUCCESS;
    }
    header->ActualBufferLength = sizeof(USBUSER_CONTROLLER_INFO_0);
    if (header->RequestBufferLength < sizeof(USBUSER_CONTROLLER_INFO_0)) {
        header->UsbUserStatusCode = UsbUserBufferTooSmall;
        return STATUS_SUCCESS;
    }
    auto* request = reinterpret_cast<PUSBUSER_CONTROLLER_INFO_0>(header);
    request->Info0.PciVendorId = options_.pciVendorId;
    request->Info0.PciDeviceId = options_.pciDeviceId;
    request->Info0.PciRevision = options_.pciRevision;
    request->Info0.NumberOfRootPorts = options_.rootPorts;
    request->Info0.ControllerFlavor = options_.flavor;
    request->Info0.HcFeatureFlags = options_.featureFlags;
    header->UsbUserStatusCode = UsbUserSuccess;
    irp->IoStatus.Information = sizeof(USBUSER_CONTROLLER_INFO_0);
    return STATUS_SUCCESS;
}

}  // namespace sim::usb
