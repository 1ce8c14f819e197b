// StreamEngine: keeps the device's isochronous endpoints busy while a direction is started. One per
// adapter. A system thread per started direction starts request chains; from then on each
// completion, processed in that direction's DPC, builds and submits the next request of its chain
// with the same context and buffer. A chain ends only when a build submits nothing, and gives its
// semaphore count back then. Any error sets the direction's error event: its thread drains the
// chains, resets the pipes and starts again, so a client hears a gap and nothing worse.
//
// Render is paced by the device's explicit feedback endpoint (packet sizes from the last accepted
// report, nothing sent before the first one), or, when the device runs both directions on one clock
// or its capture endpoint is the implicit feedback, by the frames capture delivers (a prefill that
// counts captured frames, then a frame surplus that capture feeds and render draws from).
//
// The wave stream reaches the engine through queued regions of its cyclic buffer and hears from it
// through the miniport's engine callback; the ASIO data path hooks into request builds and
// completions (AsioStream).
//
// Locks, in the order they may be taken: the adapter's configuration mutex (start and stop); the
// request lock (render idle pool, prefill state, render scheduling); a region list's lock. The
// completion lists, the frame surplus, the capture scheduling and the chain counters have their
// own spin locks and take no other lock while held.
#pragma once

#include "driver/engine/asio_stream.h"
#include "driver/engine/request_context.h"
#include "driver/stream_direction.h"
#include "platform/kernel.h"

class UsbAudioAdapter;
class CUSBAudioCL;
struct StreamingInterface;

// A part of a wave stream's buffer queued for the stream engine to fill or drain.
struct BufferRegion {
    LIST_ENTRY links;
    PUCHAR start;
    PUCHAR current;
    ULONG remaining;
};

// The queued regions of one direction.
struct RegionList {
    LIST_ENTRY head;
    KSPIN_LOCK lock;
    ULONG queuedBytes;
};

// The format a direction's streaming interface runs at.
struct UsbStreamFormat {
    USHORT formatTag;
    ULONG channels;
    ULONG bits;  // container
    ULONG rate;
    ULONG bytesPerFrame;
};

// Everything the engine keeps per direction.
struct EngineDirection {
    ULONG runCount;  // starts minus stops, under the configuration mutex
    PVOID thread;    // referenced thread object while the direction's thread exists
    KEVENT stopEvent;
    KEVENT runEvent;
    KEVENT errorEvent;
    KEVENT startedEvent;  // a completion arrived since the last (re)start
    KSEMAPHORE requests;
    ChainCounter chains;
    BOOLEAN firstRun;  // the next request is scheduled from the bus frame
    ULONG nextStartFrame;
    ULONG previousCompletionFrame;
    KSPIN_LOCK scheduleLock;  // capture: first-run flag and next start frame
    UsbStreamFormat usbFormat;
    ULONG transferBufferBytes;
    ULONG nominalBytesPerRequest;  // render following capture
    LONG minimumAdjustment;
    LONG maximumAdjustment;
    RegionList regions;
    KDPC completionDpc;
    KSPIN_LOCK completionLock;
    LIST_ENTRY completions;
    BOOLEAN completionsRunning;  // a DPC is working the list; keeps completions in order
};

// What the engine did since the adapter started, for diagnostics: every field only grows.
struct EngineStatistics {
    LONG renderResets;
    LONG captureResets;
    LONG feedbackAccepted;
    LONG feedbackReplaced;  // by the nominal value
    LONG renderUnderruns;   // requests that went out without wave data while the stream ran
    LONG64 renderFramesSent;
    LONG64 captureFramesReceived;
};

class StreamEngine {
public:
    explicit StreamEngine(UsbAudioAdapter& adapter);
    StreamEngine(const StreamEngine&) = delete;
    StreamEngine& operator=(const StreamEngine&) = delete;

    // IRQL: PASSIVE_LEVEL. With the adapter: lookaside lists, events, DPCs and lists; and at the
    // end, what is left of them.
    void Initialize(POOL_TYPE poolType);
    void Delete();
    // IRQL: PASSIVE_LEVEL. Device start, after the tuning is read and before any direction runs.
    void InitializeRequestSemaphores();

    // IRQL: PASSIVE_LEVEL. The adapter's slots; both take the configuration mutex.
    NTSTATUS StartDirection(StreamDirection direction);
    NTSTATUS StopDirection(StreamDirection direction);

    // IRQL: <= DISPATCH_LEVEL. The wave stream's regions.
    void QueueRegion(StreamDirection direction, PVOID buffer, ULONG bytes, bool lockHeld);
    void PurgeRegions(StreamDirection direction);
    ULONG QueuedRegionBytes(StreamDirection direction);
    void ClearQueuedBytes(StreamDirection direction);

    // Under the configuration mutex.
    ULONG RunCount(StreamDirection direction) const { return m_Direction[direction].runCount; }
    bool IsStreaming() const { return RunCount(kDirectionOut) != 0 || RunCount(kDirectionIn) != 0; }
    ULONG TransferBufferBytes(StreamDirection direction) const { return m_Direction[direction].transferBufferBytes; }
    const UsbStreamFormat& UsbFormat(StreamDirection direction) const { return m_Direction[direction].usbFormat; }

    AsioStream& Asio() { return m_Asio; }
    CUSBAudioCL& UsbAudio();
    bool FollowsCapture() const;
    bool IsRenderFeedbackPaced() const;
    // The render thread's current pool, for tests and the ASIO path.
    ULONG RenderPoolSize() const { return m_RenderPoolSize; }
    // IRQL: <= DISPATCH_LEVEL. A snapshot; fields are read one by one while the engine runs.
    EngineStatistics Statistics() const;

private:
    friend class StreamEngineTestAccess;

    // Starting and stopping (direction_control.cpp).
    NTSTATUS StartSingle(StreamDirection direction);
    NTSTATUS StartDuplex();
    NTSTATUS StopSingle(StreamDirection direction);
    NTSTATUS StopDuplex();
    NTSTATUS SelectFormat(StreamDirection direction);
    void SelectZeroBandwidth(StreamDirection direction);
    void ResetRenderSemaphores();
    NTSTATUS CreateThread(StreamDirection direction);
    void StopThread(StreamDirection direction);
    NTSTATUS EnableAndWait(StreamDirection direction);
    ULONG DeviceRate() const;

    // Capture (capture_path.cpp).
    static KSTART_ROUTINE CaptureThread;
    void RunCaptureThread();
    void SubmitCapture(RequestContext* context);
    void EndCaptureChain(RequestContext* context);
    ULONG CaptureStartFrame();
    static void CaptureDone(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames);
    void CompleteCapture(RequestContext* context);
    void DeliverCapture(const RequestContext* context);
    ULONG FillCaptureRegions(const UCHAR* data, ULONG bytes);

    // Completions of both data directions: queued by the completion routine, worked in order by
    // the direction's DPC (stream_engine.cpp).
    void QueueCompletion(StreamDirection direction, RequestContext* context, NTSTATUS status, ULONG bytes,
                         ULONG startFrame, ULONG busFrames);
    static KDEFERRED_ROUTINE CompletionDpc;
    void RunCompletions(StreamDirection direction);
    bool CheckCompletionGap(StreamDirection direction, RequestContext* context, ULONG packetsPerRequest,
                            ULONG requestsInFlight);
    ULONG QueryBusFrame();

    // Render thread and its pool (render_thread.cpp).
    static KSTART_ROUTINE RenderThread;
    void RunRenderThread();
    void AllocateRenderPool();
    void FreeRenderPool();
    void ArmRenderPacing();
    void ResetRender();
    void DrainRenderChains();
    void TakeRenderSlots(ULONG count);

    // Render requests (render_requests.cpp).
    bool BuildRenderRequest(RequestContext* completed);
    ULONG RenderLength(RequestContext* context);
    ULONG CopyRenderRegions(RequestContext* context);
    NTSTATUS SubmitRender(RequestContext* context);
    static void RenderDone(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames);
    void CompleteRender(RequestContext* context);
    static IO_WORKITEM_ROUTINE FinishRenderError;
    ULONG RenderDuration();

    // Feedback reads (feedback_reads.cpp).
    bool SubmitFeedback(RequestContext* context);
    void EndFeedbackChain(RequestContext* context);
    static void FeedbackDone(NTSTATUS status, ULONG value, ULONG startFrame, PVOID context, ULONG busFrames);
    static IO_WORKITEM_ROUTINE FinishFeedbackError;
    ULONG NominalFeedback();
    ULONG TakeCurrentFeedback();
    void ReleaseRender();

    // Render following capture (render_pacing.cpp).
    void RunPrefill();
    void AccountCapturedFrames(ULONG bytes);
    void PrefillContexts(ULONG outBytes);
    LONG TakeFrameSurplus();

    // Shared helpers.
    RequestContext* AllocateContext();
    void FreeContext(RequestContext* context);
    void DumpData(const char* what, const UCHAR* data, ULONG bytes) const;
    static bool IsDeviceGone(NTSTATUS status);
    bool IsSet(PKEVENT event) const;

    UsbAudioAdapter& m_Adapter;
    EngineDirection m_Direction[kDirectionCount];
    NPAGED_LOOKASIDE_LIST m_RegionRecords;
    NPAGED_LOOKASIDE_LIST m_RequestContexts;
    POOL_TYPE m_PoolType;

    // Render pool: idle contexts under the request lock.
    KSPIN_LOCK m_RequestLock;
    LIST_ENTRY m_IdleRenderContexts;
    ULONG m_RenderPoolSize;
    // Render slots the semaphore hands out: the pool size, at most `outRequestsInFlight`.
    ULONG m_RenderSlots;

    // Feedback pacing.
    KSEMAPHORE m_FeedbackRequests;
    ChainCounter m_FeedbackChains;
    KEVENT m_FeedbackRunEvent;
    ULONG m_LatestFeedback;  // under the render interface's feedback lock
    LONG m_RenderReleased;

    // Capture pacing: the prefill state under the request lock, the surplus under its own lock.
    BOOLEAN m_PrefillActive;
    ULONG m_PrefillIndex;
    ULONG m_PrefillCompletions;
    KEVENT m_PrefillDone;
    KSPIN_LOCK m_SurplusLock;
    LONG m_FrameSurplus;
    // The IN direction was started for render's sake (single-direction devices).
    bool m_CaptureStartedForRender;

    AsioStream m_Asio;
    EngineStatistics m_Statistics;
};
