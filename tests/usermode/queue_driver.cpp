#include "tests/usermode/queue_driver.h"

#include <cstring>
#include <mutex>

namespace queuedriver {

namespace {

std::mutex g_lock;
std::vector<std::string> g_log;
CleanupReads g_cleanupReads = CleanupReads::Complete;

struct Extension {
    PDEVICE_OBJECT lower;
    UNICODE_STRING link;
    KSPIN_LOCK queueLock;
    LIST_ENTRY queue;
};

PDEVICE_OBJECT g_device = nullptr;

void Note(const std::string& text)
{
    std::lock_guard<std::mutex> held(g_lock);
    g_log.push_back(text);
}

Extension& ExtensionOf(PDEVICE_OBJECT device) { return *static_cast<Extension*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void CancelRead(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Extension& extension = ExtensionOf(device);
    KIRQL irql;
    KeAcquireSpinLock(&extension.queueLock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&extension.queueLock, irql);
    Note("cancel");
    Complete(irp, STATUS_CANCELLED);
}

// Takes the first queued read (of `file`, when given) whose cancel routine it could clear.
PIRP TakeRead(Extension& extension, PFILE_OBJECT file)
{
    KIRQL irql;
    KeAcquireSpinLock(&extension.queueLock, &irql);
    for (PLIST_ENTRY entry = extension.queue.Flink; entry != &extension.queue; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (file != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != file) {
            continue;
        }
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(entry);
            KeReleaseSpinLock(&extension.queueLock, irql);
            return irp;
        }
    }
    KeReleaseSpinLock(&extension.queueLock, irql);
    return nullptr;
}

CleanupReads CurrentCleanupReads()
{
    std::lock_guard<std::mutex> held(g_lock);
    return g_cleanupReads;
}

void CompleteCancelled(PVOID context)
{
    Complete(static_cast<PIRP>(context), STATUS_CANCELLED);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The read is off the queue and no longer cancellable: its completion is underway, on another
// thread that may still be starting when cleanup returns.
void CompleteOnSystemThread(PIRP irp)
{
    HANDLE thread = nullptr;
    if (NT_SUCCESS(
            PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &CompleteCancelled, irp))) {
        ZwClose(thread);
    } else {
        Complete(irp, STATUS_CANCELLED);
    }
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    Extension& extension = ExtensionOf(device);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, &SignalDone, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(extension.lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        NTSTATUS status = IoRegisterDeviceInterface(extension.lower, &kInterfaceClass, nullptr, &extension.link);
        if (NT_SUCCESS(status)) {
            status = IoSetDeviceInterfaceState(&extension.link, TRUE);
        }
        return Complete(irp, status);
    }
    if (minor == IRP_MN_SURPRISE_REMOVAL) {
        Note("surprise removal");
        IoSetDeviceInterfaceState(&extension.link, FALSE);
    }
    if (minor != IRP_MN_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(extension.lower, irp);
    }
    Note("remove");
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(extension.lower, irp);
    RtlFreeUnicodeString(&extension.link);
    IoDetachDevice(extension.lower);
    IoDeleteDevice(device);
    g_device = nullptr;
    return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Extension& extension = ExtensionOf(device);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return Pnp(device, irp);
    case IRP_MJ_CREATE: {
        const UNICODE_STRING& name = stack->FileObject->FileName;
        std::string text = "create ";
        for (USHORT i = 0; i < name.Length / sizeof(WCHAR); ++i) {
            text.push_back(char(name.Buffer[i]));
        }
        Note(text);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_CLEANUP: {
        Note("cleanup");
        const CleanupReads choice = CurrentCleanupReads();
        while (choice != CleanupReads::Leave) {
            PIRP queued = TakeRead(extension, stack->FileObject);
            if (queued == nullptr) {
                break;
            }
            if (choice == CleanupReads::Complete) {
                Complete(queued, STATUS_CANCELLED);
            } else {
                CompleteOnSystemThread(queued);
            }
        }
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_CLOSE:
        Note("close");
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_READ: {
        Note("read " + std::to_string(stack->Parameters.Read.Length));
        IoMarkIrpPending(irp);
        KIRQL irql;
        KeAcquireSpinLock(&extension.queueLock, &irql);
        InsertTailList(&extension.queue, &irp->Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, &CancelRead);
        KeReleaseSpinLock(&extension.queueLock, irql);
        return STATUS_PENDING;
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension& extension = ExtensionOf(device);
    std::memset(&extension, 0, sizeof extension);
    KeInitializeSpinLock(&extension.queueLock);
    InitializeListHead(&extension.queue);
    extension.lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    g_device = device;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) { Note("unload"); }

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING)
{
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_PNP}) {
        driverObject->MajorFunction[major] = &Dispatch;
    }
    driverObject->DriverExtension->AddDevice = &AddDevice;
    driverObject->DriverUnload = &Unload;
    std::lock_guard<std::mutex> held(g_lock);
    g_log.clear();
    g_cleanupReads = CleanupReads::Complete;
    return STATUS_SUCCESS;
}

std::vector<std::string> Log()
{
    std::lock_guard<std::mutex> held(g_lock);
    return g_log;
}

void ClearLog()
{
    std::lock_guard<std::mutex> held(g_lock);
    g_log.clear();
}

bool CompleteOldestRead(unsigned char fill)
{
    if (g_device == nullptr) {
        return false;
    }
    PIRP irp = TakeRead(ExtensionOf(g_device), nullptr);
    if (irp == nullptr) {
        return false;
    }
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (length != 0) {
        std::memset(MmGetSystemAddressForMdlSafe(irp->MdlAddress, 0), fill, length);
    }
    Complete(irp, STATUS_SUCCESS, length);
    return true;
}

size_t QueuedReads()
{
    if (g_device == nullptr) {
        return 0;
    }
    Extension& extension = ExtensionOf(g_device);
    size_t count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&extension.queueLock, &irql);
    for (PLIST_ENTRY entry = extension.queue.Flink; entry != &extension.queue; entry = entry->Flink) {
        ++count;
    }
    KeReleaseSpinLock(&extension.queueLock, irql);
    return count;
}

void SetCleanupReads(CleanupReads choice)
{
    std::lock_guard<std::mutex> held(g_lock);
    g_cleanupReads = choice;
}

}  // namespace queuedriver
