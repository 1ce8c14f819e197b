// The ASIO data path as the stream engine sees it: the points where render requests are built,
// submitted and completed, and where capture completes, at which ASIO output is mixed into render
// requests and captured audio goes to ASIO input. While no ASIO stream is open every hook leaves the
// engine's data alone.
#pragma once

#include "driver/engine/request_context.h"
#include "platform/kernel.h"

class AsioStream {
public:
    void Initialize();

    // IRQL: <= DISPATCH_LEVEL. The byte a render request is filled with before audio goes in: the
    // silence of the render ring's format (0x96 for native DSD), 0 without an ASIO stream.
    UCHAR RenderFillByte() const { return m_FillByte; }
    // Output is mixed into submitted render requests a margin ahead of the bus.
    bool IsLateMixing() const { return m_LateMixing != 0; }
    // Output is mixed into each render request as it is built.
    bool MixesAtBuildTime() const { return m_BuildTimeMixing != 0; }

    // Hooks, IRQL: DISPATCH_LEVEL.
    void OnRenderSubmitted(RequestContext* context);
    void OnRenderCompleted(RequestContext* context);
    void OnCaptureCompleted(const UCHAR* data, ULONG bytes, ULONG nextFrame);
    void OnCapturedBytes(const UCHAR* data, ULONG bytes);
    void MixAtBuildTime(RequestContext* context);
    // IRQL: PASSIVE_LEVEL, from the render thread's reset.
    void ResetRings();
    void RecomputeMargin();

private:
    UCHAR m_FillByte;
    ULONG m_LateMixing;
    ULONG m_BuildTimeMixing;
};
