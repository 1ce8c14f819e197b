// CUSBCL's lifetime, its IRP pool and lookaside lists, and the pipe-timing helpers.
#include "driver/usb/usb_device.h"

#include "driver/trace.h"

namespace {

// The pool's own cache keeps a few entries of each list ready; the streaming path never waits
// for the general pool.
constexpr USHORT kLookasideDepth = 32;

}  // namespace

CUSBCL::CUSBCL(POOL_TYPE poolType) : m_PoolType(poolType)
{
    KeInitializeMutex(&m_InterfaceMutex, 0);
    InitializeListHead(&m_IrpFreeList);
    KeInitializeSpinLock(&m_IrpListLock);
    const ULONG flags = poolType == NonPagedPoolNx ? POOL_NX_ALLOCATION : 0;
    ExInitializeNPagedLookasideList(&m_TransferContexts, nullptr, nullptr, flags, kTransferContextBytes,
                                    kDefaultPoolTag, kLookasideDepth);
    ExInitializeNPagedLookasideList(&m_IsoUrbs, nullptr, nullptr, flags, kIsoUrbBytes, kDefaultPoolTag,
                                    kLookasideDepth);
}

CUSBCL::~CUSBCL()
{
    while (!IsListEmpty(&m_IrpFreeList)) {
        PLIST_ENTRY entry = RemoveHeadList(&m_IrpFreeList);
        IoFreeIrp(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    }
    FreeInterfaceTable();
    if (m_ConfigurationDescriptor != nullptr) {
        ExFreePoolWithTag(m_ConfigurationDescriptor, kDefaultPoolTag);
    }
    if (m_LanguageIds != nullptr) {
        ExFreePoolWithTag(m_LanguageIds, kDefaultPoolTag);
    }
    ExDeleteNPagedLookasideList(&m_TransferContexts);
    ExDeleteNPagedLookasideList(&m_IsoUrbs);
}

// Caller holds the interface mutex, or is the destructor.
void CUSBCL::FreeInterfaceTable()
{
    if (m_Interfaces == nullptr) {
        return;
    }
    for (LONG i = 0; i < m_InterfaceCount; ++i) {
        if (m_Interfaces[i] != nullptr) {
            ExFreePoolWithTag(m_Interfaces[i], kDefaultPoolTag);
        }
    }
    ExFreePoolWithTag(m_Interfaces, kDefaultPoolTag);
    m_Interfaces = nullptr;
    m_InterfaceCount = 0;
}

PIRP CUSBCL::AllocateIrp()
{
    PIRP irp = nullptr;
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_IrpListLock, &oldIrql);
    if (!IsListEmpty(&m_IrpFreeList)) {
        irp = CONTAINING_RECORD(RemoveHeadList(&m_IrpFreeList), IRP, Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&m_IrpListLock, oldIrql);
    if (irp != nullptr) {
        IoReuseIrp(irp, STATUS_SUCCESS);
        return irp;
    }
    irp = IoAllocateIrp(m_LowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        R9_TRACE("CUSBCL::AllocateIrp: no IRP\n");
    }
    return irp;
}

void CUSBCL::RecycleIrp(PIRP irp)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_IrpListLock, &oldIrql);
    InsertTailList(&m_IrpFreeList, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&m_IrpListLock, oldIrql);
}

TransferContext* CUSBCL::AllocateTransferContext(PUSBD_PIPE_INFORMATION pipe, TransferCallback callback,
                                                 PVOID callbackContext)
{
    auto* context = static_cast<TransferContext*>(ExAllocateFromNPagedLookasideList(&m_TransferContexts));
    if (context != nullptr) {
        RtlZeroMemory(context, sizeof(TransferContext));
        context->pipe = pipe;
        context->callback = callback;
        context->callbackContext = callbackContext;
        context->owner = this;
    }
    return context;
}

void CUSBCL::FreeTransferContext(TransferContext* transferContext)
{
    ExFreeToNPagedLookasideList(&m_TransferContexts, transferContext);
}

PURB CUSBCL::AllocateIsoUrb() { return static_cast<PURB>(ExAllocateFromNPagedLookasideList(&m_IsoUrbs)); }

void CUSBCL::FreeIsoUrb(PURB urb) { ExFreeToNPagedLookasideList(&m_IsoUrbs, urb); }

// Isochronous URBs go back to their lookaside list; the others were allocated from the pool.
void CUSBCL::ReturnUrb(PURB urb)
{
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
        FreeIsoUrb(urb);
    } else {
        ExFreePoolWithTag(urb, kDefaultPoolTag);
    }
}

// Bus intervals from one packet to the next: bInterval counts frames on a USB 1.x device and is an
// exponent of microframes on a USB 2.0 one.
ULONG CUSBCL::GetPipeInterval(PUSBD_PIPE_INFORMATION pipe) const
{
    if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeIsochronous) {
        R9_TRACE("CUSBCL::GetPipeInterval: not an isochronous pipe\n");
        return 0;
    }
    if (m_DeviceDescriptor.bcdUSB < 0x0200) {
        return pipe->Interval;
    }
    if (pipe->Interval == 0 || pipe->Interval > 32) {
        R9_TRACE("CUSBCL::GetPipeInterval: bInterval %u out of range\n", unsigned(pipe->Interval));
        return 0;
    }
    return ULONG(1) << (pipe->Interval - 1);
}

ULONG CUSBCL::PacketsToFrames(ULONG packets, PUSBD_PIPE_INFORMATION pipe) const
{
    const ULONG interval = GetPipeInterval(pipe);
    return m_HighSpeed ? (packets * interval + 7) / 8 : packets * interval;
}
