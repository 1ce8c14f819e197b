// The wave-buffer regions a wave stream queues for the stream engine: render regions the engine
// will copy from, capture regions it will copy into.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/engine/stream_engine.h"
#include "driver/trace.h"

// IRQL: <= DISPATCH_LEVEL. With lockHeld the caller already holds the capture list's lock (the
// wave stream requeues its capture buffer from inside the engine's walk of that list).
void StreamEngine::QueueRegion(StreamDirection direction, PVOID buffer, ULONG bytes, bool lockHeld)
{
    if (m_Adapter.IsRemoving()) {
        return;
    }
    auto* region = static_cast<BufferRegion*>(ExAllocateFromNPagedLookasideList(&m_RegionRecords));
    if (region == nullptr) {
        R9_TRACE("StreamEngine: no region record, %u bytes on %c dropped\n", unsigned(bytes),
                 DirectionLetter(direction));
        return;
    }
    region->start = static_cast<PUCHAR>(buffer);
    region->current = region->start;
    region->remaining = bytes;
    RegionList& list = m_Direction[direction].regions;
    KLOCK_QUEUE_HANDLE lock;
    if (!lockHeld) {
        KeAcquireInStackQueuedSpinLock(&list.lock, &lock);
    }
    list.queuedBytes += bytes;
    InsertTailList(&list.head, &region->links);
    if (!lockHeld) {
        KeReleaseInStackQueuedSpinLock(&lock);
    }
}

void StreamEngine::PurgeRegions(StreamDirection direction)
{
    RegionList& list = m_Direction[direction].regions;
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&list.lock, &lock);
    while (!IsListEmpty(&list.head)) {
        BufferRegion* region = CONTAINING_RECORD(RemoveHeadList(&list.head), BufferRegion, links);
        ExFreeToNPagedLookasideList(&m_RegionRecords, region);
    }
    list.queuedBytes = 0;
    KeReleaseInStackQueuedSpinLock(&lock);
}

// IRQL: <= DISPATCH_LEVEL. The total moves under the list's lock on every queue and copy, so it
// is read under it too; the render build path already holds the request lock, which nests outside.
ULONG StreamEngine::QueuedRegionBytes(StreamDirection direction)
{
    RegionList& list = m_Direction[direction].regions;
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&list.lock, &lock);
    const ULONG bytes = list.queuedBytes;
    KeReleaseInStackQueuedSpinLock(&lock);
    return bytes;
}

// IRQL: <= DISPATCH_LEVEL. A stopping render thread ends its chain once nothing is queued; the
// wave stream may still be queueing from a completion while the stop runs.
void StreamEngine::ClearQueuedBytes(StreamDirection direction)
{
    RegionList& list = m_Direction[direction].regions;
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&list.lock, &lock);
    list.queuedBytes = 0;
    KeReleaseInStackQueuedSpinLock(&lock);
}
