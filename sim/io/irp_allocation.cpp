// IRP allocation, initialisation, reuse and free. The I/O manager remembers every live IRP, so
// that the free of an IRP a driver still holds, a second free and a use after free are reported
// without touching freed memory.
#include <sstream>

#include "sim/io/io_manager.h"
#include "sim/io/irp_internal.h"

namespace sim::io {

std::string IrpText(const IRP* irp) { return "IRP " + Describe(irp); }

void ForgetDispatchesLocked(IoManager& io, const IRP* irp, CCHAR stackCount)
{
    if (io.dispatches.empty()) {
        return;
    }
    const auto* locations = reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1);
    for (int i = 0; i < stackCount; ++i) {
        io.dispatches.erase(&locations[i]);
    }
}

void FreeTrackedIrp(PIRP irp)
{
    IoManager& io = IoManager::Current();
    bool fromPool;
    {
        std::lock_guard<std::mutex> held(io.lock);
        fromPool = io.irps[irp].fromPool;
        io.irps.erase(irp);
        ForgetDispatchesLocked(io, irp, irp->StackCount);
    }
    if (fromPool) {
        ExFreePoolWithTag(irp, kIrpTag);
    }
}

}  // namespace sim::io

using sim::io::IoManager;
using sim::io::IrpHolder;
using sim::io::IrpRecord;

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    if (StackSize < 1 || PacketSize < IoSizeOfIrp(StackSize)) {
        std::ostringstream detail;
        detail << "IoInitializeIrp: " << PacketSize << " bytes for " << int(StackSize) << " stack location(s)";
        sim::io::Report("IRP too small for its stack", detail.str());
        return;
    }
    RtlZeroMemory(Irp, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = CCHAR(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;

    IoManager& io = IoManager::Current();
    std::lock_guard<std::mutex> held(io.lock);
    IrpRecord& record = io.irps[Irp];
    const uint64_t changes = record.changes + 1;
    record = IrpRecord{};
    record.changes = changes;
    sim::io::ForgetDispatchesLocked(io, Irp, StackSize);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    if (StackSize < 1) {
        return nullptr;
    }
    ULONG size = IoSizeOfIrp(StackSize);
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, size, sim::io::kIrpTag));
    if (irp == nullptr) {
        return nullptr;
    }
    IoInitializeIrp(irp, USHORT(size), StackSize);
    irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE | (ChargeQuota ? IRP_QUOTA_CHARGED : 0);
    IoManager& io = IoManager::Current();
    std::lock_guard<std::mutex> held(io.lock);
    io.irps[irp].fromPool = true;
    return irp;
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    IoManager& io = IoManager::Current();
    bool fromPool;
    {
        std::unique_lock<std::mutex> held(io.lock);
        IrpRecord* record = io.FindIrpLocked(Irp);
        if (record == nullptr || record->holder == IrpHolder::LowerDriver) {
            held.unlock();
            sim::io::Report(record == nullptr ? "IRP used after free" : "pending IRP reused",
                            "IoReuseIrp of " + sim::io::IrpText(Irp));
            return;
        }
        fromPool = record->fromPool;
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    std::lock_guard<std::mutex> held(io.lock);
    io.irps[Irp].fromPool = fromPool;
}

void IoFreeIrp(PIRP Irp)
{
    IoManager& io = IoManager::Current();
    {
        std::unique_lock<std::mutex> held(io.lock);
        IrpRecord* record = io.FindIrpLocked(Irp);
        const char* rule = nullptr;
        if (record == nullptr) {
            rule = "IRP freed twice";
        } else if (record->holder == IrpHolder::LowerDriver) {
            rule = "pending IRP freed";  // a driver below still holds it and will complete it
        } else if (!record->fromPool) {
            rule = "IRP freed that IoAllocateIrp did not allocate";
        }
        if (rule != nullptr) {
            held.unlock();
            sim::io::Report(rule, "IoFreeIrp of " + sim::io::IrpText(Irp));
            return;
        }
    }
    sim::io::FreeTrackedIrp(Irp);
}
