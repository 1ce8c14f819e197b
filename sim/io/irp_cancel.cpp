// IRP cancellation. As on Windows, IoCancelIrp takes the cancel spin lock, sets Irp->Cancel and
// calls the cancel routine it removes from the IRP with the lock still held; the routine releases
// it at Irp->CancelIrql. A driver that queues IRPs clears the routine with IoSetCancelRoutine
// before it completes them, which is how the two sides agree on who completes a cancelled IRP.
#include "sim/io/io_manager.h"
#include "sim/io/irp_internal.h"
#include "sim/kernel/machine.h"

using sim::io::IoManager;

void IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&IoManager::Current().cancelLock, Irql); }

void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&IoManager::Current().cancelLock, Irql); }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), reinterpret_cast<PVOID>(CancelRoutine)));
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    IoManager& io = IoManager::Current();
    bool live;
    {
        std::lock_guard<std::mutex> held(io.lock);
        live = io.FindIrpLocked(Irp) != nullptr;
    }
    if (!live) {
        sim::io::Report("IRP used after free", "IoCancelIrp of " + sim::io::IrpText(Irp));
        return FALSE;
    }
    sim::io::CalleeFrame frame("cancel routine");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        // Windows bug-checks with CANCEL_STATE_IN_COMPLETED_IRP.
        IoReleaseCancelSpinLock(irql);
        sim::io::Report("cancel routine set on a completed IRP", sim::io::IrpText(Irp));
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (__atomic_load_n(&io.cancelLock, __ATOMIC_RELAXED) == reinterpret_cast<ULONG_PTR>(frame.thread)) {
        sim::io::Report("cancel routine returned holding the cancel spin lock",
                        sim::io::Describe(reinterpret_cast<const void*>(routine)));
        IoReleaseCancelSpinLock(irql);
    }
    frame.Check(reinterpret_cast<const void*>(routine));
    return TRUE;
}
