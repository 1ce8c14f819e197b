// The stream engine's records and what both data directions share: chain counters, request
// contexts, and the completion lists with their DPCs.
#include "driver/engine/stream_engine.h"

#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/trace.h"
#include "driver/trace_dump.h"

namespace {

// Request records kept for reuse: a pool of render contexts and a chain per capture and feedback
// request in flight.
constexpr USHORT kContextDepth = 32;

}  // namespace

void ChainCounter::Initialize()
{
    KeInitializeSpinLock(&m_Lock);
    m_Count = 0;
    KeInitializeEvent(&m_Zero, NotificationEvent, TRUE);
}

void ChainCounter::Add()
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    if (++m_Count == 1) {
        KeClearEvent(&m_Zero);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
}

void ChainCounter::Retire()
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    if (m_Count == 0) {
        R9_TRACE("StreamEngine: a chain ended twice\n");
    } else if (--m_Count == 0) {
        KeSetEvent(&m_Zero, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
}

NTSTATUS ChainCounter::WaitForZero(PLARGE_INTEGER timeout)
{
    const NTSTATUS status = KeWaitForSingleObject(&m_Zero, Executive, KernelMode, FALSE, timeout);
    // The chain that ended last set the event with the lock held, and may not have let go of it
    // yet; once the lock is ours it has, and whoever waited may free the counter (a removal frees
    // the adapter right after its directions stopped).
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    KeReleaseInStackQueuedSpinLock(&lock);
    return status;
}

StreamEngine::StreamEngine(UsbAudioAdapter& adapter)
    : m_Adapter(adapter), m_Direction(), m_PoolType(NonPagedPool), m_RenderPoolSize(0), m_RenderSlots(0),
      m_LatestFeedback(0), m_RenderReleased(0), m_PrefillActive(FALSE), m_PrefillIndex(0), m_PrefillCompletions(0),
      m_FrameSurplus(0), m_CaptureStartedForRender(false), m_Asio(*this, adapter), m_Statistics()
{
}

EngineStatistics StreamEngine::Statistics() const
{
    EngineStatistics snapshot;
    snapshot.renderResets = m_Statistics.renderResets;
    snapshot.captureResets = m_Statistics.captureResets;
    snapshot.feedbackAccepted = m_Statistics.feedbackAccepted;
    snapshot.feedbackReplaced = m_Statistics.feedbackReplaced;
    snapshot.renderUnderruns = m_Statistics.renderUnderruns;
    snapshot.renderFramesSent = m_Statistics.renderFramesSent;
    snapshot.captureFramesReceived = m_Statistics.captureFramesReceived;
    return snapshot;
}

void StreamEngine::Initialize(POOL_TYPE poolType)
{
    m_PoolType = poolType;
    const ULONG flags = poolType == NonPagedPoolNx ? POOL_NX_ALLOCATION : 0;
    ExInitializeNPagedLookasideList(&m_RegionRecords, nullptr, nullptr, flags, sizeof(BufferRegion), kDefaultPoolTag,
                                    kContextDepth * 2);
    ExInitializeNPagedLookasideList(&m_RequestContexts, nullptr, nullptr, flags, sizeof(RequestContext),
                                    kDefaultPoolTag, kContextDepth);
    for (EngineDirection& direction : m_Direction) {
        KeInitializeEvent(&direction.stopEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&direction.runEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&direction.errorEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&direction.startedEvent, NotificationEvent, FALSE);
        KeInitializeSemaphore(&direction.requests, 0, LONG(kRequestsInFlight));
        direction.chains.Initialize();
        direction.firstRun = TRUE;
        KeInitializeSpinLock(&direction.scheduleLock);
        InitializeListHead(&direction.regions.head);
        KeInitializeSpinLock(&direction.regions.lock);
        KeInitializeDpc(&direction.completionDpc, &StreamEngine::CompletionDpc, this);
        KeInitializeSpinLock(&direction.completionLock);
        InitializeListHead(&direction.completions);
    }
    KeInitializeSpinLock(&m_RequestLock);
    InitializeListHead(&m_IdleRenderContexts);
    KeInitializeSemaphore(&m_FeedbackRequests, 0, LONG(kRequestsInFlight));
    m_FeedbackChains.Initialize();
    KeInitializeEvent(&m_FeedbackRunEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_PrefillDone, NotificationEvent, FALSE);
    KeInitializeSpinLock(&m_SurplusLock);
    m_Asio.Initialize();
}

// Every thread is gone by now (removal stops the directions), so only queued regions are left.
void StreamEngine::Delete()
{
    PurgeRegions(kDirectionOut);
    PurgeRegions(kDirectionIn);
    ExDeleteNPagedLookasideList(&m_RequestContexts);
    ExDeleteNPagedLookasideList(&m_RegionRecords);
}

void StreamEngine::InitializeRequestSemaphores()
{
    KeInitializeSemaphore(&m_Direction[kDirectionOut].requests, 0, LONG(g_DriverTuning.outRequestsInFlight));
    KeInitializeSemaphore(&m_Direction[kDirectionIn].requests, LONG(g_DriverTuning.inRequestsInFlight),
                          LONG(g_DriverTuning.inRequestsInFlight));
}

CUSBAudioCL& StreamEngine::UsbAudio() { return m_Adapter.UsbAudio(); }

bool StreamEngine::FollowsCapture() const { return m_Adapter.UsbAudio().RendersFromCaptureClock(); }

// Feedback reads pace render only when render does not follow capture's clock.
bool StreamEngine::IsRenderFeedbackPaced() const
{
    const StreamingInterface* render = m_Adapter.UsbAudio().GetStreamingInterface(kDirectionOut);
    return render != nullptr && render->FeedbackPipe != nullptr && !m_Adapter.UsbAudio().GetModel().IsClockShared();
}

RequestContext* StreamEngine::AllocateContext()
{
    auto* context = static_cast<RequestContext*>(ExAllocateFromNPagedLookasideList(&m_RequestContexts));
    if (context == nullptr) {
        R9_TRACE("StreamEngine: no request context\n");
        return nullptr;
    }
    RtlZeroMemory(context, sizeof *context);
    context->engine = this;
    InitializeListHead(&context->links);
    InitializeListHead(&context->mixLinks);
    return context;
}

// Gives back the context with whatever it still owns.
void StreamEngine::FreeContext(RequestContext* context)
{
    if (context->mdl != nullptr) {
        IoFreeMdl(context->mdl);
    }
    if (context->buffer != nullptr) {
        ExFreePoolWithTag(context->buffer, kDefaultPoolTag);
    }
    if (context->workItem != nullptr) {
        IoFreeWorkItem(context->workItem);
    }
    ExFreeToNPagedLookasideList(&m_RequestContexts, context);
}

bool StreamEngine::IsDeviceGone(NTSTATUS status)
{
    return status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING || status == STATUS_DEVICE_NOT_CONNECTED;
}

bool StreamEngine::IsSet(PKEVENT event) const { return KeReadStateEvent(event) != 0; }

ULONG StreamEngine::QueryBusFrame()
{
    const USB_BUS_INTERFACE_USBDI_V1& bus = UsbAudio().GetBusInterfaceTable();
    ULONG frame = 0;
    if (bus.QueryBusTime != nullptr) {
        bus.QueryBusTime(bus.BusContext, &frame);
    }
    return frame;
}

void StreamEngine::DumpData(const char* what, const UCHAR* data, ULONG bytes) const
{
    TraceHexDump("StreamEngine", what, data, bytes);
}

// IRQL: <= DISPATCH_LEVEL, from the USB layer's completion (below DISPATCH_LEVEL when the stack
// failed the request on the submitting thread). The bus frame is read here, where it tells when
// the request really came back.
void StreamEngine::QueueCompletion(StreamDirection direction, RequestContext* context, NTSTATUS status, ULONG bytes,
                                   ULONG startFrame, ULONG busFrames)
{
    context->completionFrame = QueryBusFrame();
    context->status = status;
    context->actualLength = bytes;
    context->startFrame = startFrame;
    context->busFrames = busFrames;
    EngineDirection& state = m_Direction[direction];
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&state.completionLock, &lock);
    const bool wasEmpty = IsListEmpty(&state.completions) != FALSE;
    InsertTailList(&state.completions, &context->links);
    KeReleaseInStackQueuedSpinLock(&lock);
    if (wasEmpty) {
        KeInsertQueueDpc(&state.completionDpc, nullptr, nullptr);
    }
}

void StreamEngine::CompletionDpc(KDPC* dpc, PVOID context, PVOID, PVOID)
{
    auto* self = static_cast<StreamEngine*>(context);
    const StreamDirection direction =
        dpc == &self->m_Direction[kDirectionOut].completionDpc ? kDirectionOut : kDirectionIn;
    self->RunCompletions(direction);
}

// A DPC queued again while it runs may run on another processor at the same time; the running
// flag leaves the list to the first, so completions are processed in the order they arrived.
void StreamEngine::RunCompletions(StreamDirection direction)
{
    EngineDirection& state = m_Direction[direction];
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLockAtDpcLevel(&state.completionLock, &lock);
    if (state.completionsRunning) {
        KeReleaseInStackQueuedSpinLockFromDpcLevel(&lock);
        return;
    }
    state.completionsRunning = TRUE;
    while (!IsListEmpty(&state.completions)) {
        RequestContext* context = CONTAINING_RECORD(RemoveHeadList(&state.completions), RequestContext, links);
        InitializeListHead(&context->links);
        KeReleaseInStackQueuedSpinLockFromDpcLevel(&lock);
        if (direction == kDirectionOut) {
            CompleteRender(context);
        } else {
            CompleteCapture(context);
        }
        KeAcquireInStackQueuedSpinLockAtDpcLevel(&state.completionLock, &lock);
    }
    state.completionsRunning = FALSE;
    KeReleaseInStackQueuedSpinLockFromDpcLevel(&lock);
}

// The first completion after a (re)start sets the started event; later ones must follow the
// previous one within the pipeline's length, or requests went missing. Returns false when a
// successful completion turned into an error for that.
bool StreamEngine::CheckCompletionGap(StreamDirection direction, RequestContext* context, ULONG packetsPerRequest,
                                      ULONG requestsInFlight)
{
    EngineDirection& state = m_Direction[direction];
    bool intact = true;
    if (IsSet(&state.startedEvent)) {
        const ULONG gap = context->completionFrame - state.previousCompletionFrame;
        if (gap >= requestsInFlight * packetsPerRequest && NT_SUCCESS(context->status)) {
            R9_TRACE("StreamEngine: %c completions %u frames apart, requests were lost\n", DirectionLetter(direction),
                     unsigned(gap));
            context->status = STATUS_UNEXPECTED_IO_ERROR;
            intact = false;
        } else if (gap > packetsPerRequest) {
            R9_TRACE("StreamEngine: %c completions %u frames apart\n", DirectionLetter(direction), unsigned(gap));
        }
    } else {
        KeSetEvent(&state.startedEvent, IO_NO_INCREMENT, FALSE);
    }
    state.previousCompletionFrame = context->completionFrame;
    return intact;
}
