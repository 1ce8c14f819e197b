// The pin's life, its state and its queue of stream packets (wave_cyclic_pin.h). The copy engine
// is in pin_copy_engine.cpp.
#include "sim/portcls/wave_cyclic_pin.h"

#include "sim/kernel/machine.h"
#include "sim/portcls/adapter_device.h"

namespace sim::portcls {

namespace {

// What the WaveCyclic port asks every stream for: a notification every 10 ms.
constexpr ULONG kNotificationMs = 10;
constexpr LONG kTimerPeriodMs = 10;

}  // namespace

WaveCyclicPin::WaveCyclicPin(ULONG pinId, bool capture) : pinId_(pinId), capture_(capture)
{
    KeInitializeSpinLock(&lock_);
    InitializeListHead(&packets_);
    KeInitializeEvent(&noPackets_, NotificationEvent, TRUE);
    KeInitializeTimerEx(&timer_, NotificationTimer);
    KeInitializeDpc(&timerDpc_, &WaveCyclicPin::TimerRoutine, this);
}

WaveCyclicPin::~WaveCyclicPin() = default;

NTSTATUS WaveCyclicPin::Initialize(PMINIPORTWAVECYCLIC miniport, const KSDATAFORMAT& format)
{
    NTSTATUS status = miniport->NewStream(&stream_, nullptr, NonPagedPoolNx, pinId_, capture_ ? TRUE : FALSE,
                                          const_cast<PKSDATAFORMAT>(&format), &dma_, &serviceGroup_);
    if (!NT_SUCCESS(status)) {
        stream_ = nullptr;
        dma_ = nullptr;
        serviceGroup_ = nullptr;
        return status;
    }
    if (stream_ == nullptr || dma_ == nullptr || dma_->SystemAddress() == nullptr || dma_->BufferSize() == 0) {
        Machine::Current().Verify().Report("WaveCyclic stream",
                                           "NewStream succeeded without a stream and a DMA channel with a buffer");
        return STATUS_UNSUCCESSFUL;
    }
    if (serviceGroup_ != nullptr) {
        status = serviceGroup_->AddMember(this);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        member_ = true;
    }
    stream_->SetNotificationFreq(kNotificationMs, &notificationBytes_);
    WAVEFORMATEX wave;
    RtlCopyMemory(&wave, reinterpret_cast<const UCHAR*>(&format) + sizeof(KSDATAFORMAT), sizeof wave);
    blockAlign_ = wave.nBlockAlign == 0 ? 1 : wave.nBlockAlign;
    return STATUS_SUCCESS;
}

void WaveCyclicPin::Close()
{
    PAGED_CODE();
    if (stream_ != nullptr) {
        SetState(KSSTATE_STOP);
    }
    StopTimer();
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    closed_ = true;
    KeReleaseSpinLock(&lock_, irql);
    if (member_) {
        serviceGroup_->RemoveMember(this);
        member_ = false;
    }
    // A service group run or a timer routine already under way sees the pin closed.
    KeFlushQueuedDpcs();
    CancelPackets();
    KeWaitForSingleObject(&noPackets_, Executive, KernelMode, FALSE, nullptr);
    if (stream_ != nullptr) {
        stream_->Release();
        stream_ = nullptr;
    }
    if (dma_ != nullptr) {
        dma_->Release();
        dma_ = nullptr;
    }
    if (serviceGroup_ != nullptr) {
        serviceGroup_->Release();
        serviceGroup_ = nullptr;
    }
}

STDMETHODIMP_(NTSTATUS) WaveCyclicPin::QueryInterface(REFIID interfaceId, PVOID* object)
{
    return AnswerQuery(interfaceId, object, static_cast<IServiceSink*>(this), {&IID_IServiceSink});
}

STDMETHODIMP_(void) WaveCyclicPin::RequestService() { Service(); }

void WaveCyclicPin::TimerRoutine(PKDPC, PVOID context, PVOID, PVOID) { static_cast<WaveCyclicPin*>(context)->Service(); }

void WaveCyclicPin::StartTimer()
{
    LARGE_INTEGER due;
    due.QuadPart = -LONGLONG(kTimerPeriodMs) * 10000;
    KeSetTimerEx(&timer_, due, kTimerPeriodMs, &timerDpc_);
}

void WaveCyclicPin::StopTimer() { KeCancelTimer(&timer_); }

NTSTATUS WaveCyclicPin::SetState(KSSTATE state)
{
    PAGED_CODE();
    if (state < KSSTATE_STOP || state > KSSTATE_RUN) {
        return STATUS_INVALID_PARAMETER;
    }
    while (state_ != state) {
        const KSSTATE next = KSSTATE(state > state_ ? state_ + 1 : state_ - 1);
        if (state_ == KSSTATE_RUN) {
            StopTimer();
        }
        const NTSTATUS status = stream_->SetState(next);
        if (!NT_SUCCESS(status)) {
            if (state_ == KSSTATE_RUN) {
                StartTimer();
            }
            return status;
        }
        KIRQL irql;
        KeAcquireSpinLock(&lock_, &irql);
        state_ = next;
        if (next == KSSTATE_STOP) {
            ResetPositionsLocked();
        }
        KeReleaseSpinLock(&lock_, irql);
        if (next == KSSTATE_STOP) {
            CancelPackets();
        } else if (next == KSSTATE_RUN) {
            StartTimer();
        }
    }
    // Whatever is queued may go into the buffer now.
    Service();
    return STATUS_SUCCESS;
}

NTSTATUS WaveCyclicPin::QueueStreamIrp(PIRP irp)
{
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != (capture_ ? IOCTL_KS_READ_STREAM : IOCTL_KS_WRITE_STREAM)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(KSSTREAM_HEADER) || irp->UserBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* packet = static_cast<Packet*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Packet), kPortClsTag));
    if (packet == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(&packet->header, irp->UserBuffer, sizeof(KSSTREAM_HEADER));
    packet->irp = irp;
    packet->done = 0;
    const KSSTREAM_HEADER& header = packet->header;
    const ULONG bytes = capture_ ? header.FrameExtent : header.DataUsed;
    if (header.Size < sizeof(KSSTREAM_HEADER) || (bytes != 0 && header.Data == nullptr) ||
        (!capture_ && header.DataUsed > header.FrameExtent)) {
        ExFreePoolWithTag(packet, kPortClsTag);
        return STATUS_INVALID_PARAMETER;
    }
    irp->Tail.Overlay.DriverContext[0] = packet;
    irp->Tail.Overlay.DriverContext[1] = this;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    if (state_ == KSSTATE_STOP || closed_) {
        KeReleaseSpinLock(&lock_, irql);
        ExFreePoolWithTag(packet, kPortClsTag);
        return STATUS_INVALID_DEVICE_STATE;
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &WaveCyclicPin::CancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&lock_, irql);
        ExFreePoolWithTag(packet, kPortClsTag);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    InsertTailList(&packets_, &packet->links);
    if (packetCount_++ == 0) {
        KeClearEvent(&noPackets_);
    }
    received_ += bytes;
    KeReleaseSpinLock(&lock_, irql);
    Service();
    return STATUS_PENDING;
}

// The I/O manager calls with the cancel spin lock held; the packet is the pin's until it is off the
// queue, which only this routine or the copy engine (having cleared the routine) takes it from.
void WaveCyclicPin::CancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* packet = static_cast<Packet*>(irp->Tail.Overlay.DriverContext[0]);
    auto* pin = static_cast<WaveCyclicPin*>(irp->Tail.Overlay.DriverContext[1]);
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL irql;
    KeAcquireSpinLock(&pin->lock_, &irql);
    RemoveEntryList(&packet->links);
    InsertTailList(&cancelled, &packet->links);
    if (--pin->packetCount_ == 0) {
        KeSetEvent(&pin->noPackets_, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&pin->lock_, irql);
    CompletePackets(cancelled, STATUS_CANCELLED);
}

void WaveCyclicPin::CancelPackets()
{
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    PLIST_ENTRY entry = packets_.Flink;
    while (entry != &packets_) {
        Packet* packet = CONTAINING_RECORD(entry, Packet, links);
        entry = entry->Flink;
        TakeFinishedLocked(packet, cancelled);
    }
    KeReleaseSpinLock(&lock_, irql);
    CompletePackets(cancelled, STATUS_CANCELLED);
}

void WaveCyclicPin::CompletePackets(LIST_ENTRY& finished, NTSTATUS status)
{
    while (!IsListEmpty(&finished)) {
        Packet* packet = CONTAINING_RECORD(RemoveHeadList(&finished), Packet, links);
        PIRP irp = packet->irp;
        const bool cancelled = status == STATUS_CANCELLED;
        if (!cancelled && packet->done != 0) {
            // A read packet tells how much it holds; the caller's header gets it as KS copies it back.
            KSSTREAM_HEADER* header = static_cast<KSSTREAM_HEADER*>(irp->UserBuffer);
            header->DataUsed = packet->done;
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = cancelled ? 0 : sizeof(KSSTREAM_HEADER);
        ExFreePoolWithTag(packet, kPortClsTag);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

PinCounters WaveCyclicPin::Counters()
{
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    const PinCounters counters = counters_;
    KeReleaseSpinLock(&lock_, irql);
    return counters;
}

}  // namespace sim::portcls
