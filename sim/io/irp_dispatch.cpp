// Sending an IRP down a device stack and completing it back up. The stack walk follows the
// documented rules: IoCallDriver moves to the next lower stack location; IoCompleteRequest moves
// back up one location at a time, calls each completion routine whose SL_INVOKE_ON_* flag matches
// with the device object of the level that set it (none at the top), carries SL_PENDING_RETURNED
// up for levels without a routine, and stops for good when a routine returns
// STATUS_MORE_PROCESSING_REQUIRED.
#include <sstream>

#include "sim/io/driver_record.h"
#include "sim/io/io_manager.h"
#include "sim/io/irp_internal.h"
#include "sim/kernel/machine.h"

namespace {

using sim::io::IoManager;
using sim::io::IrpHolder;
using sim::io::IrpRecord;

// What the walk does after a completion routine has returned.
enum class AfterRoutine { Continue, Stop };

// Windows leaves the routine and its context in place but clears what belonged to the request.
void ZeroStackLocation(PIO_STACK_LOCATION location)
{
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    location->Parameters.Others.Argument1 = nullptr;
    location->Parameters.Others.Argument2 = nullptr;
    location->Parameters.Others.Argument3 = nullptr;
    location->Parameters.Others.Argument4 = nullptr;
    location->FileObject = nullptr;
}

bool Invokes(const IO_STACK_LOCATION* location, const IRP* irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_SUCCESS) != 0) ||
           (!NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_ERROR) != 0) ||
           (irp->Cancel && (location->Control & SL_INVOKE_ON_CANCEL) != 0);
}

// The routine owns the IRP while it runs: it may free it, reuse it, send it again, or hand it to
// a thread that completes it further, all of which count as a change of holder.
uint64_t EnterCompletionRoutine(IoManager& io, const IRP* irp)
{
    std::lock_guard<std::mutex> held(io.lock);
    IrpRecord* record = io.FindIrpLocked(irp);
    record->holder = IrpHolder::CompletionRoutine;
    return ++record->changes;
}

AfterRoutine LeaveCompletionRoutine(IoManager& io, PIRP irp, uint64_t entered, NTSTATUS result,
                                    PIO_COMPLETION_ROUTINE routine)
{
    bool moreProcessing = result == STATUS_MORE_PROCESSING_REQUIRED;
    const char* rule = nullptr;
    {
        std::lock_guard<std::mutex> held(io.lock);
        IrpRecord* record = io.FindIrpLocked(irp);
        if (record == nullptr) {
            rule = moreProcessing ? nullptr : "IRP freed by a completion routine that let completion go on";
        } else if (record->changes != entered) {
            rule = moreProcessing ? nullptr : "IRP completed twice";
        } else if (moreProcessing) {
            bool atTop = irp->CurrentLocation > irp->StackCount;
            record->holder = atTop ? IrpHolder::BackWithCreator : IrpHolder::ReclaimedByDriver;
            ++record->changes;
        } else {
            record->holder = IrpHolder::LowerDriver;
            return AfterRoutine::Continue;
        }
    }
    if (rule != nullptr) {
        sim::io::Report(rule, sim::io::IrpText(irp) + ": completion routine " +
                                  sim::io::Describe(reinterpret_cast<const void*>(routine)) +
                                  " returned without STATUS_MORE_PROCESSING_REQUIRED");
    }
    return AfterRoutine::Stop;
}

// Checks made before a completion starts; returns the rule broken, or null.
const char* CompletionViolation(IoManager& io, const IRP* irp, std::string& detail)
{
    if (sim::RequireCurrentThread("IoCompleteRequest")->irql > DISPATCH_LEVEL) {
        detail = "at IRQL " + std::to_string(KeGetCurrentIrql());
        return "IRP completed at the wrong IRQL";
    }
    std::lock_guard<std::mutex> held(io.lock);
    IrpRecord* record = io.FindIrpLocked(irp);
    if (record == nullptr) {
        detail = "it was completed and freed already";
        return "IRP completed twice";
    }
    if (irp->CurrentLocation > irp->StackCount + 1 || record->holder == IrpHolder::BackWithCreator) {
        detail = "it was completed up to the top already";
        return "IRP completed twice";
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        detail = "IoStatus.Status is STATUS_PENDING";
        return "IRP completed with STATUS_PENDING";
    }
    if (irp->CancelRoutine != nullptr) {
        detail = "cancel routine " + sim::io::Describe(reinterpret_cast<const void*>(irp->CancelRoutine));
        return "IRP completed with a cancel routine set";
    }
    record->holder = IrpHolder::LowerDriver;
    ++record->changes;
    return nullptr;
}

void ReportUnmarkedPending(const void* routine, const IRP* irp)
{
    sim::io::Report("STATUS_PENDING returned without IoMarkIrpPending",
                    "dispatch routine " + sim::io::Describe(routine) + " for " + sim::io::IrpText(irp));
}

// The dispatch routine has returned `status` for `location`.
void EndDispatch(IoManager& io, const IRP* irp, const IO_STACK_LOCATION* location, NTSTATUS status,
                 const void* routine)
{
    bool unmarked = false;
    {
        std::lock_guard<std::mutex> held(io.lock);
        auto found = io.dispatches.find(location);
        if (found == io.dispatches.end()) {
            return;
        }
        sim::io::DispatchRecord& record = found->second;
        if (status == STATUS_PENDING && !record.walked) {
            record.returnedPending = true;
            record.routine = routine;
            return;
        }
        unmarked = status == STATUS_PENDING && !record.marked;
        io.dispatches.erase(found);
    }
    if (unmarked) {
        ReportUnmarkedPending(routine, irp);
    }
}

// Completion is passing `location`, whose SL_PENDING_RETURNED is as the driver (or completion
// below it) left it.
void WalkPastDispatch(IoManager& io, const IRP* irp, const IO_STACK_LOCATION* location)
{
    const bool marked = (location->Control & SL_PENDING_RETURNED) != 0;
    const void* routine = nullptr;
    {
        std::lock_guard<std::mutex> held(io.lock);
        auto found = io.dispatches.find(location);
        if (found == io.dispatches.end()) {
            return;
        }
        sim::io::DispatchRecord& record = found->second;
        if (!record.returnedPending) {
            record.walked = true;
            record.marked = marked;
            return;
        }
        routine = record.routine;
        io.dispatches.erase(found);
    }
    if (!marked) {
        ReportUnmarkedPending(routine, irp);
    }
}

}  // namespace

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoManager& io = IoManager::Current();
    const char* rule = nullptr;
    {
        std::lock_guard<std::mutex> held(io.lock);
        IrpRecord* record = io.FindIrpLocked(Irp);
        if (sim::RequireCurrentThread(__func__)->irql > DISPATCH_LEVEL) {
            rule = "IRP sent at the wrong IRQL";
        } else if (record == nullptr) {
            rule = "IRP used after free";
        } else if (Irp->CurrentLocation <= 1) {
            // Windows bug-checks with NO_MORE_IRP_STACK_LOCATIONS: the IRP was allocated for a
            // shorter stack than the one it is sent down.
            rule = "no more IRP stack locations";
        } else if (sim::io::DriverIsUnloaded(DeviceObject->DriverObject)) {
            rule = "IRP sent to an unloaded driver";
        } else {
            record->holder = IrpHolder::LowerDriver;
            ++record->changes;
        }
    }
    if (rule != nullptr) {
        sim::io::Report(rule, "IoCallDriver of " + sim::io::IrpText(Irp) + " to device " +
                                  sim::io::Describe(DeviceObject));
        return STATUS_INVALID_DEVICE_STATE;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    location->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
    {
        std::lock_guard<std::mutex> held(io.lock);
        io.dispatches[location] = sim::io::DispatchRecord{};
    }
    sim::io::CalleeFrame frame("dispatch routine");
    NTSTATUS status = dispatch(DeviceObject, Irp);
    frame.Check(reinterpret_cast<const void*>(dispatch));
    EndDispatch(io, Irp, location, status, reinterpret_cast<const void*>(dispatch));
    return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    IoManager& io = IoManager::Current();
    std::string detail;
    if (const char* rule = CompletionViolation(io, Irp, detail)) {
        sim::io::Report(rule, "IoCompleteRequest of " + sim::io::IrpText(Irp) + ": " + detail);
        return;
    }

    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    for (; Irp->CurrentLocation <= Irp->StackCount + 1;
         ++location, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0 ? TRUE : FALSE;
        WalkPastDispatch(io, Irp, location);
        if (!Invokes(location, Irp)) {
            // No routine at this level: the caller above sees the pending mark as if it had
            // marked the IRP itself.
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
                IoMarkIrpPending(Irp);
            }
            ZeroStackLocation(location);
            continue;
        }
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        ZeroStackLocation(location);
        PDEVICE_OBJECT caller = Irp->CurrentLocation == Irp->StackCount + 1
                                    ? nullptr
                                    : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        uint64_t entered = EnterCompletionRoutine(io, Irp);
        sim::io::CalleeFrame frame("completion routine");
        NTSTATUS result = routine(caller, Irp, context);
        frame.Check(reinterpret_cast<const void*>(routine));
        if (LeaveCompletionRoutine(io, Irp, entered, result, routine) == AfterRoutine::Stop) {
            return;
        }
    }
    sim::io::FinishCompletedIrp(Irp);
}
