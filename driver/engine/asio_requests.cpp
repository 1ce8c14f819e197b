// The ASIO stream's read and write requests: reads wait for captured audio and complete in the
// order they came, each once it is full; writes of a stream with capture go into the render ring at
// once, writes of an output-only stream wait for the output thread to store them.
//
// Pending requests carry a cancel routine, so that a client that goes away (its thread or process
// ending) does not leave them hanging; cancelling one takes it out of the list and leaves the
// others' order as it was. Everything else that ends them is data flow or the stream's stop.
#include "driver/engine/asio_stream.h"

#include "driver/driver_tuning.h"
#include "driver/trace.h"

namespace {

// The request's place in the pending list, and the bytes done so far (in IoStatus.Information).
PLIST_ENTRY PendingLinks(PIRP irp) { return &irp->Tail.Overlay.ListEntry; }

PIRP PendingRequest(PLIST_ENTRY links) { return CONTAINING_RECORD(links, IRP, Tail.Overlay.ListEntry); }

}  // namespace

// The device object's I/O method decides where the data is: the system buffer, or the caller's
// pages described by the request's MDL, mapped into system space when they are not yet.
PUCHAR AsioStream::RequestData(PIRP irp)
{
    if (irp->AssociatedIrp.SystemBuffer != nullptr) {
        return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    }
    // Mapped already, or built for non-paged pool: its system address; else mapped now.
    if (irp->MdlAddress == nullptr) {
        return nullptr;
    }
    // A ULONG: the priority may carry MdlMappingNoExecute, which no MM_PAGE_PRIORITY value holds.
    return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, g_DriverTuning.mapPriority));
}

ULONG AsioStream::RequestLength(PIRP irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS AsioStream::Read(PIRP irp)
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_RunningLock, &lock);
    NTSTATUS status = STATUS_PENDING;
    if (!m_Running) {
        status = STATUS_UNSUCCESSFUL;
    } else if (!m_CaptureRing.Exists()) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        irp->IoStatus.Information = 0;
        QueuePending(irp);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS AsioStream::Write(PIRP irp)
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_RunningLock, &lock);
    NTSTATUS status = STATUS_PENDING;
    if (!m_Running) {
        status = STATUS_UNSUCCESSFUL;
    } else if (!m_RenderRing.Exists()) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (m_CaptureRing.Exists()) {
        const PUCHAR data = RequestData(irp);
        if (data == nullptr) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            irp->IoStatus.Information = m_RenderRing.Write(data, RequestLength(irp), false);
            status = STATUS_SUCCESS;
        }
    } else {
        irp->IoStatus.Information = 0;
        QueuePending(irp);
        KeSetEvent(&m_OutputData, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    return status;
}

void AsioStream::QueuePending(PIRP irp)
{
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_PendingLock, &lock);
    InsertTailList(&m_Pending, PendingLinks(irp));
    IoSetCancelRoutine(irp, &AsioStream::CancelPending);
    // Cancelled before the routine was in place: nobody else will end it.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        RemoveEntryList(PendingLinks(irp));
        KeReleaseInStackQueuedSpinLock(&lock);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    KeReleaseInStackQueuedSpinLock(&lock);
}

// IRQL: DISPATCH_LEVEL, with the cancel spin lock held on entry. The stream is in the request's
// driver context, where QueuePending left it.
void AsioStream::CancelPending(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<AsioStream*>(irp->Tail.Overlay.DriverContext[0]);
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&self->m_PendingLock, &lock);
    RemoveEntryList(PendingLinks(irp));
    KeReleaseInStackQueuedSpinLock(&lock);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// IRQL: DISPATCH_LEVEL, after captured audio went into the capture ring. Fills the oldest read;
// a full one completes and the next is served, a partly filled one waits at the head.
void AsioStream::ServeReads()
{
    LIST_ENTRY completed;
    InitializeListHead(&completed);
    bool startRender = false;
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_PendingLock, &lock);
    while (!IsListEmpty(&m_Pending)) {
        PIRP irp = PendingRequest(m_Pending.Flink);
        if (!m_CaptureRing.IsStarted()) {
            InterlockedExchange(&m_ReadWaiting, 1);
            break;
        }
        const ULONG length = RequestLength(irp);
        const PUCHAR data = RequestData(irp);
        if (data != nullptr) {
            const ULONG done = ULONG(irp->IoStatus.Information);
            irp->IoStatus.Information = done + m_CaptureRing.Read(data + done, length - done, true);
        }
        const bool full = data != nullptr && irp->IoStatus.Information >= length;
        if (data != nullptr && !full) {
            break;
        }
        // The cancel routine owns a request it is about to cancel; it waits for this lock.
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            break;
        }
        RemoveEntryList(PendingLinks(irp));
        irp->IoStatus.Status = full ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        if (!full) {
            irp->IoStatus.Information = 0;
        }
        InsertTailList(&completed, PendingLinks(irp));
        startRender = startRender || full;
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    // Output follows the first read that completes.
    if (startRender && m_RenderRing.Exists() && !m_RenderRing.IsStarted()) {
        m_RenderRing.Start();
    }
    CompleteList(&completed);
}

// IRQL: PASSIVE_LEVEL, on the output thread. Stores as much of the oldest writes as fits; a write
// that does not fit waits at the head, and then output may begin.
void AsioStream::StoreWrites()
{
    LIST_ENTRY completed;
    InitializeListHead(&completed);
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_PendingLock, &lock);
    while (!IsListEmpty(&m_Pending)) {
        PIRP irp = PendingRequest(m_Pending.Flink);
        const ULONG length = RequestLength(irp);
        const PUCHAR data = RequestData(irp);
        if (data != nullptr) {
            const ULONG done = ULONG(irp->IoStatus.Information);
            irp->IoStatus.Information = done + m_RenderRing.Write(data + done, length - done, true);
            if (irp->IoStatus.Information < length) {
                if (!m_RenderRing.IsStarted()) {
                    m_RenderRing.Start();
                }
                break;
            }
        }
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            break;
        }
        RemoveEntryList(PendingLinks(irp));
        irp->IoStatus.Status = data != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        if (data == nullptr) {
            irp->IoStatus.Information = 0;
        }
        InsertTailList(&completed, PendingLinks(irp));
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    CompleteList(&completed);
}

// Every pending request ends with STATUS_CANCELLED, in order.
void AsioStream::CancelPendingRequests() { CancelRequests(nullptr); }

void AsioStream::CancelFileRequests(PFILE_OBJECT file) { CancelRequests(file); }

// The requests of `file`, or all of them when it is null.
void AsioStream::CancelRequests(PFILE_OBJECT file)
{
    LIST_ENTRY completed;
    InitializeListHead(&completed);
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_PendingLock, &lock);
    PLIST_ENTRY link = m_Pending.Flink;
    while (link != &m_Pending) {
        PIRP irp = PendingRequest(link);
        link = link->Flink;
        if (file != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != file) {
            continue;
        }
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            continue;
        }
        RemoveEntryList(PendingLinks(irp));
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        InsertTailList(&completed, PendingLinks(irp));
    }
    if (file == nullptr) {
        InterlockedExchange(&m_ReadWaiting, 0);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    CompleteList(&completed);
}

void AsioStream::CompleteList(PLIST_ENTRY completed)
{
    while (!IsListEmpty(completed)) {
        PIRP irp = PendingRequest(RemoveHeadList(completed));
        IoCompleteRequest(irp, NT_SUCCESS(irp->IoStatus.Status) ? IO_SOUND_INCREMENT : IO_NO_INCREMENT);
    }
}
