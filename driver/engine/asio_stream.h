// AsioStream: the kernel side of ASIO streaming. The ASIO driver opens a stream through the private
// interface, starts it, and exchanges audio with plain read and write requests of one buffer half
// each, in the device's own sample format. Two byte rings sit between those requests and the stream
// engine: captured audio goes into the capture ring and completes pending reads; written audio goes
// into the render ring, from which it is mixed into render requests, either into requests already
// submitted to the USB stack a margin ahead of the point being sent (late mixing, which keeps the
// output latency at that margin instead of a whole pipeline of requests), or into each request as
// it is built (old-fashioned transfer, and output-only streams, which an output thread feeds).
// ASIO output is added to the audio stack's render data with saturation, so both play at once.
//
// Locks, in the order they may be taken: the engine's request lock (a render build calls in with
// it held); the running-flag lock; the pending list's lock; the mixer lock; the capture ring's,
// then the render ring's. Pending requests are completed after every lock is released.
#pragma once

#include "driver/engine/byte_ring.h"
#include "driver/engine/request_context.h"
#include "driver/engine/sample_packing.h"
#include "driver/stream_direction.h"
#include "platform/kernel.h"

class StreamEngine;
class UsbAudioAdapter;

// What the client asked for when it opened the stream.
struct AsioStreamRequest {
    ULONG bufferFrames;  // per buffer half (32-bit words in native DSD)
    bool wantInput;
    bool wantOutput;
    ULONG bufferPercent;
    USHORT mode;  // 1: native DSD
};

class AsioStream {
public:
    AsioStream(StreamEngine& engine, UsbAudioAdapter& adapter);
    AsioStream(const AsioStream&) = delete;
    AsioStream& operator=(const AsioStream&) = delete;

    void Initialize();

    // IRQL: PASSIVE_LEVEL, under the adapter's ASIO mutex (the private interface's requests).
    NTSTATUS Open(const AsioStreamRequest& request);
    NTSTATUS Start();
    void Stop();
    void Close();
    bool IsOpen() const { return m_CaptureRing.Exists() || m_RenderRing.Exists(); }

    // IRQL: PASSIVE_LEVEL, under the rundown guard. STATUS_PENDING when the request was queued;
    // otherwise the caller completes it with the status (and IoStatus.Information set here).
    NTSTATUS Read(PIRP irp);
    NTSTATUS Write(PIRP irp);
    // IRQL: PASSIVE_LEVEL. The cleanup of a handle ends the requests it still has pending (with
    // STATUS_CANCELLED); the other handles' keep their order.
    void CancelFileRequests(PFILE_OBJECT file);

    // ---- Hooks of the stream engine. ----
    // IRQL: <= DISPATCH_LEVEL. The byte a render request is filled with before audio goes in.
    UCHAR RenderFillByte() const { return m_RenderRing.FillByte(); }
    bool IsLateMixing() const;
    // IRQL: DISPATCH_LEVEL. Submitted render requests, in order, for late mixing.
    void OnRenderSubmitted(RequestContext* context);
    void OnRenderCompleted(RequestContext* context);
    // A capture request of `bytes` ending before `nextFrame` completed.
    void OnCaptureCompleted(const UCHAR* data, ULONG bytes, ULONG nextFrame);
    void OnCapturedBytes(const UCHAR* data, ULONG bytes);
    // Output for the request being built, when output is mixed as requests are built.
    void MixAtBuildTime(RequestContext* context);
    // IRQL: PASSIVE_LEVEL, from the render thread's reset (the margin under the request lock).
    void ResetRings();
    void RecomputeMargin();

    // For tests and diagnostics.
    LONG Margin() const { return m_Margin; }
    const ByteRing& CaptureRing() const { return m_CaptureRing; }
    const ByteRing& RenderRing() const { return m_RenderRing; }

private:
    // asio_stream.cpp
    NTSTATUS AllocateRings(const AsioStreamRequest& request);
    NTSTATUS CreateOutputThread();
    void EndOutputThread();
    static KSTART_ROUTINE OutputThread;
    void RunOutputThread();
    bool IsRunning();

    // asio_requests.cpp
    static PUCHAR RequestData(PIRP irp);
    static ULONG RequestLength(PIRP irp);
    void QueuePending(PIRP irp);
    static DRIVER_CANCEL CancelPending;
    void ServeReads();
    void StoreWrites();
    void CancelPendingRequests();
    void CancelRequests(PFILE_OBJECT file);
    static void CompleteList(PLIST_ENTRY completed);

    // asio_mixing.cpp
    NTSTATUS PrepareMixer();
    void TearDownMixer();
    void ComputeMarginLocked();
    void LateMix(ULONG capturedBytes, ULONG nextFrame);
    void MixInto(PUCHAR destination, const UCHAR* source, ULONG bytes);
    void AfterRenderConsumed();
    static bool IsSet(LONG& flag) { return InterlockedCompareExchange(&flag, 0, 0) != 0; }

    StreamEngine& m_Engine;
    UsbAudioAdapter& m_Adapter;

    ByteRing m_CaptureRing;
    ByteRing m_RenderRing;
    USHORT m_Mode;

    // Pending reads (streams with capture) or writes (output-only streams), oldest first.
    KSPIN_LOCK m_PendingLock;
    LIST_ENTRY m_Pending;
    LONG m_ReadWaiting;  // interlocked: read by the DPCs outside the pending lock

    PVOID m_OutputThread;
    KEVENT m_OutputStop;
    KEVENT m_OutputData;

    KSPIN_LOCK m_RunningLock;
    bool m_Running;

    // The mixer record, under m_MixerLock.
    KSPIN_LOCK m_MixerLock;
    LONG m_MixerActive;  // interlocked: read by the DPCs outside the mixer lock
    MixRoutine m_Mix;
    PUCHAR m_Scratch;
    ULONG m_ScratchBytes;
    LIST_ENTRY m_Submitted;  // through RequestContext::mixLinks
    LONG m_Margin;           // bytes from the start of the oldest submitted request to the mix point
    KEVENT m_RenderStarted;
    ULONG m_ReferenceFrame;
    bool m_FirstMixDone;
    ULONG m_BufferPercent;
    ULONG m_UsbMargin;  // "USB Margin", in render frames; 0 chooses the margin
};
