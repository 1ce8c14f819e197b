// The wave-buffer regions a wave stream queues for the stream engine: render regions the engine
// will copy from, capture regions it will copy into.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/trace.h"

namespace {

// Regions kept for reuse; a stream queues a handful per request.
constexpr USHORT kRegionDepth = 64;

}  // namespace

void UsbAudioAdapter::InitializeRegions(POOL_TYPE poolType)
{
    const ULONG flags = poolType == NonPagedPoolNx ? POOL_NX_ALLOCATION : 0;
    ExInitializeNPagedLookasideList(&m_RegionRecords, nullptr, nullptr, flags, sizeof(BufferRegion),
                                    kDefaultPoolTag, kRegionDepth);
    for (RegionList& list : m_Regions) {
        InitializeListHead(&list.head);
        KeInitializeSpinLock(&list.lock);
        list.queuedBytes = 0;
    }
}

void UsbAudioAdapter::DeleteRegions()
{
    PurgeRegions(kDirectionOut);
    PurgeRegions(kDirectionIn);
    ExDeleteNPagedLookasideList(&m_RegionRecords);
}

// IRQL: <= DISPATCH_LEVEL. With lockHeld the caller already holds the capture list's lock (the
// engine requeues capture regions from inside its own walk of that list).
void UsbAudioAdapter::QueueRegion(StreamDirection direction, PVOID buffer, ULONG bytes, bool lockHeld)
{
    if (IsRemoving()) {
        return;
    }
    auto* region = static_cast<BufferRegion*>(ExAllocateFromNPagedLookasideList(&m_RegionRecords));
    if (region == nullptr) {
        R9_TRACE("UsbAudioAdapter: no region record, %u bytes on %c dropped\n", unsigned(bytes),
                 DirectionLetter(direction));
        return;
    }
    region->start = static_cast<PUCHAR>(buffer);
    region->current = region->start;
    region->remaining = bytes;
    RegionList& list = m_Regions[direction];
    KIRQL irql = PASSIVE_LEVEL;
    if (!lockHeld) {
        KeAcquireSpinLock(&list.lock, &irql);
    }
    list.queuedBytes += bytes;
    InsertTailList(&list.head, &region->links);
    if (!lockHeld) {
        KeReleaseSpinLock(&list.lock, irql);
    }
}

void UsbAudioAdapter::PurgeRegions(StreamDirection direction)
{
    RegionList& list = m_Regions[direction];
    KIRQL irql;
    KeAcquireSpinLock(&list.lock, &irql);
    while (!IsListEmpty(&list.head)) {
        BufferRegion* region = CONTAINING_RECORD(RemoveHeadList(&list.head), BufferRegion, links);
        ExFreeToNPagedLookasideList(&m_RegionRecords, region);
    }
    list.queuedBytes = 0;
    KeReleaseSpinLock(&list.lock, irql);
}

void UsbAudioAdapter::QueueRenderRegion(PVOID buffer, ULONG bytes) { QueueRegion(kDirectionOut, buffer, bytes, false); }

void UsbAudioAdapter::QueueCaptureRegion(PVOID buffer, ULONG bytes, BOOLEAN lockHeld)
{
    QueueRegion(kDirectionIn, buffer, bytes, lockHeld != FALSE);
}

void UsbAudioAdapter::PurgeRenderRegions() { PurgeRegions(kDirectionOut); }

void UsbAudioAdapter::PurgeCaptureRegions() { PurgeRegions(kDirectionIn); }

ULONG UsbAudioAdapter::QueuedRegionBytes(StreamDirection direction) const { return m_Regions[direction].queuedBytes; }
