// The life of a private handle: create, the cleanup that unwinds what the handle still holds when
// its last user handle goes, close, and the data requests while no ASIO stream runs.
#include "driver/adapter/adapter_extension.h"
#include "driver/adapter/asio_handle.h"
#include "driver/driver_tuning.h"
#include "driver/mutex_holder.h"
#include "driver/trace.h"

NTSTATUS CreateAsioHandle(PDEVICE_OBJECT deviceObject, PFILE_OBJECT file)
{
    PAGED_CODE();
    AdapterExtension* extension = GetAdapterExtension(deviceObject);
    // Held throughout, so that the removal flag cannot be set between its check and the new handle.
    MutexHolder removal(&extension->mutex);
    if (extension->removing != 0) {
        return STATUS_DELETE_PENDING;
    }
    if (extension->adapter == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    auto* context = static_cast<AsioHandleContext*>(
        ExAllocatePoolWithTag(g_DriverTuning.poolType, sizeof(AsioHandleContext), kDefaultPoolTag));
    if (context == nullptr) {
        R9_TRACE("CreateAsioHandle: no memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(context, sizeof *context);
    context->tag = kAsioHandleTag;
    context->adapter = extension->adapter;
    context->state = kHandleClosing;
    if (file->FsContext2 != nullptr) {
        ExFreePoolWithTag(context, kDefaultPoolTag);
        return STATUS_UNSUCCESSFUL;
    }
    file->FsContext2 = context;

    RundownGuard& rundown = HandleAdapter(*context).Rundown();
    if (!rundown.Acquire()) {
        file->FsContext2 = nullptr;
        ExFreePoolWithTag(context, kDefaultPoolTag);
        return STATUS_DELETE_PENDING;
    }
    context->state = kHandleOpen;
    rundown.Release();
    context->adapter->AddRef();
    return STATUS_SUCCESS;
}

void GiveUpOwnership(UsbAudioAdapter& adapter)
{
    if (adapter.CompareExchangeOwner(0, 1) != 1) {
        R9_TRACE("GiveUpOwnership: the device had no owner\n");
    }
}

// Closing the handle is how a client gives up the device: the ASIO driver never sends the
// release code, so everything the handle reached is undone here, newest first. Requests the handle
// still has pending end here too, as a handle's cleanup must end them (any handle may read and
// write while the owner's stream runs).
NTSTATUS CleanupAsioHandle(PFILE_OBJECT file, AsioHandleContext* context)
{
    PAGED_CODE();
    UsbAudioAdapter& adapter = HandleAdapter(*context);
    if (!adapter.Rundown().Acquire()) {
        return STATUS_DELETE_PENDING;
    }
    {
        MutexHolder asio(adapter.AsioMutex());
        if (context->state == kHandleRunning) {
            adapter.Engine().Asio().Stop();
            context->state = kHandlePrepared;
        }
        if (context->state == kHandlePrepared) {
            adapter.Engine().Asio().Close();
            context->state = kHandleOwner;
        }
        if (context->state == kHandleOwner) {
            GiveUpOwnership(adapter);
            context->state = kHandleOpen;
        }
        adapter.Engine().Asio().CancelFileRequests(file);
    }
    adapter.Rundown().Release();
    return STATUS_SUCCESS;
}

NTSTATUS CloseAsioHandle(PFILE_OBJECT file, AsioHandleContext* context)
{
    PAGED_CODE();
    IUsbAudioAdapter* adapter = context->adapter;
    RundownGuard& rundown = HandleAdapter(*context).Rundown();
    // A device being removed still lets its handles go.
    const BOOLEAN guarded = rundown.Acquire();
    context->state = kHandleClosing;
    if (guarded) {
        rundown.Release();
    }
    file->FsContext2 = nullptr;
    RtlZeroMemory(context, sizeof *context);
    ExFreePoolWithTag(context, kDefaultPoolTag);
    // Last: this may be the adapter's final reference.
    adapter->Release();
    return STATUS_SUCCESS;
}

// Reads and writes carry the ASIO stream's audio, on any private handle, and only while the
// stream runs.
NTSTATUS HandleAsioData(AsioHandleContext* context, PIRP irp)
{
    UsbAudioAdapter& adapter = HandleAdapter(*context);
    if (!adapter.Rundown().Acquire()) {
        return STATUS_DELETE_PENDING;
    }
    AsioStream& stream = adapter.Engine().Asio();
    const NTSTATUS status =
        IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ ? stream.Read(irp) : stream.Write(irp);
    adapter.Rundown().Release();
    return status;
}
