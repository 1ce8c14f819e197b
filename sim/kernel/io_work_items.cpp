// I/O work items. Like Windows, a queued item holds a reference on its device object until the
// routine has run, so that the driver cannot be unloaded under it.
#include <set>

#include "sim/api/kernel.h"
#include "sim/kernel/machine.h"

struct _IO_WORKITEM {
    WORK_QUEUE_ITEM item;
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
};

namespace {
using sim::Machine;

// Pool tag of the I/O manager's work items: "IoWk" in a pool dump.
constexpr ULONG kWorkItemTag = 'kWoI';

bool IsLiveWorkItem(PIO_WORKITEM item, const char* function)
{
    if (!Machine::Current().Pools().IsLive(item)) {
        Machine::Current().Verify().Report("work item used after free", function);
        return false;
    }
    return true;
}

void RunIoWorkItem(PVOID parameter)
{
    auto* item = static_cast<PIO_WORKITEM>(parameter);
    PDEVICE_OBJECT device = item->device;
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PVOID context = item->context;
    {
        auto held = Machine::Current().Dispatcher().Lock();
        item->queued = false;
    }
    routine(device, context);
    Machine::Current().Objects().DereferenceBody(device);
}
}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_IO_WORKITEM), kWorkItemTag));
    if (item == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(item, sizeof *item);
    item->device = DeviceObject;
    return item;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    if (!IsLiveWorkItem(IoWorkItem, __func__)) {
        return;
    }
    bool queued;
    {
        auto held = Machine::Current().Dispatcher().Lock();
        queued = IoWorkItem->queued;
    }
    if (queued) {
        Machine::Current().Verify().Report("work item freed while queued", "IoFreeWorkItem");
        return;
    }
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context)
{
    if (!IsLiveWorkItem(IoWorkItem, __func__)) {
        return;
    }
    {
        auto held = Machine::Current().Dispatcher().Lock();
        if (IoWorkItem->queued) {
            held.unlock();
            Machine::Current().Verify().Report("work item queued twice", "IoQueueWorkItem");
            return;
        }
        IoWorkItem->queued = true;
    }
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    Machine::Current().Objects().ReferenceBody(IoWorkItem->device);
    ExInitializeWorkItem(&IoWorkItem->item, &RunIoWorkItem, IoWorkItem);
    ExQueueWorkItem(&IoWorkItem->item, QueueType);
}
